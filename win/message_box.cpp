#include "win/message_box.h"

#include <string>

#include "win/application.h"
#include "win/dialog.h"

int ShowMessage(std::string_view text, UINT type, HWND owner) {
    if (ModalLoopsEnded()) {
        return IDCANCEL;
    }
    if (owner == nullptr) {
        owner = ::GetActiveWindow();
    }
    return ::MessageBoxA(owner, std::string(text).c_str(), ApplicationName().c_str(), type);
}
