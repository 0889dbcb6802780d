#include "win/application.h"

#include <commctrl.h>

#include <vector>

#include "win/dialog.h"
#include "win/unicode.h"

namespace {

// The application object of this process, while it lives.
CApplication* g_currentApplication = nullptr;

size_t AfterLastSeparator(const std::string& path) {
    size_t separator = path.find_last_of("\\/");
    return separator == std::string::npos ? 0 : separator + 1;
}

}  // namespace

std::string ModuleFileName() {
    // The path may be longer than MAX_PATH: grow until the system no longer cuts it.
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        DWORD length =
            ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            return {};
        }
        if (length < buffer.size()) {
            return ToUtf8({buffer.data(), length});
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::string ModuleDirectory() {
    std::string path = ModuleFileName();
    return path.substr(0, AfterLastSeparator(path));
}

std::string ModuleBaseName() {
    std::string path = ModuleFileName();
    std::string name = path.substr(AfterLastSeparator(path));
    return name.substr(0, name.rfind('.'));
}

std::string ApplicationName() {
    return CApplication::Current() != nullptr ? CApplication::Current()->Name() : ModuleBaseName();
}

bool InitDialogControls() {
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES;
    return ::InitCommonControlsEx(&controls) != FALSE;
}

CApplication* CApplication::Current() {
    return g_currentApplication;
}

CApplication::CApplication(std::string name) : m_name(std::move(name)) {
    g_currentApplication = this;
}

CApplication::~CApplication() {
    if (g_currentApplication == this) {
        g_currentApplication = nullptr;
    }
}

int CApplication::Run() {
    InitDialogControls();
    if (!InitInstance()) {
        return 0;
    }
    MSG message{};
    while (::GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (!PreTranslateDialogMessage(message)) {
            ::TranslateMessage(&message);
            ::DispatchMessageA(&message);
        }
    }
    return static_cast<int>(message.wParam);
}
