#include "win/message_box.h"

#include "win/application.h"
#include "win/dialog.h"
#include "win/unicode.h"

int ShowMessage(std::string_view text, UINT type, HWND owner) {
    if (ModalLoopsEnded()) {
        return IDCANCEL;
    }
    if (owner == nullptr) {
        owner = ::GetActiveWindow();
    }
    return ::MessageBoxW(owner, ToUtf16(text).c_str(), ToUtf16(ApplicationName()).c_str(), type);
}
