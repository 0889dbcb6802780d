#include "tests/win/gui_test_support.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <thread>

#include "win/application.h"
#include "win/dialog.h"
#include "win/window.h"

namespace {

constexpr DWORD kWatchdogMilliseconds = 120'000;

// Started when the test exe loads.
const bool kArmed = [] {
    std::thread([] {
        ::Sleep(kWatchdogMilliseconds);
        std::fputs("watchdog: the test did not end in time\n", stderr);
        std::fflush(stderr);
        ::ExitProcess(3);
    }).detach();
    return InitDialogControls();
}();

CMessageBoxAnswerer* g_answerer = nullptr;

BOOL CALLBACK AnswerIfMessageBox(HWND window, LPARAM) {
    char className[16] = {};
    ::GetClassNameA(window, className, sizeof(className));
    HWND text = ::GetDlgItem(window, 0xFFFF);
    if (std::string(className) != "#32770" || text == nullptr ||
        CWindow(window).GetText() != ApplicationName()) {
        return TRUE;
    }
    g_answerer->Record(CWindow(text).GetText());
    ::SendMessageA(::GetDlgItem(window, g_answerer->Button()), BM_CLICK, 0, 0);
    return FALSE;
}

}  // namespace

void PumpMessages(int milliseconds) {
    PumpUntil([] { return false; }, milliseconds);
}

bool PumpUntil(const std::function<bool()>& done, int milliseconds) {
    ULONGLONG end = ::GetTickCount64() + static_cast<ULONGLONG>(milliseconds);
    for (;;) {
        MSG message{};
        while (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (!PreTranslateDialogMessage(message)) {
                ::TranslateMessage(&message);
                ::DispatchMessageA(&message);
            }
        }
        if (done()) {
            return true;
        }
        if (::GetTickCount64() >= end) {
            return false;
        }
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

CMessageBoxAnswerer::CMessageBoxAnswerer(int button)
    : m_button(button), m_timer(::SetTimer(nullptr, 0, 50, OnTimer)) {
    g_answerer = this;
}

CMessageBoxAnswerer::~CMessageBoxAnswerer() {
    ::KillTimer(nullptr, m_timer);
    g_answerer = nullptr;
}

void CALLBACK CMessageBoxAnswerer::OnTimer(HWND, UINT, UINT_PTR, DWORD) {
    if (g_answerer != nullptr) {
        ::EnumThreadWindows(::GetCurrentThreadId(), AnswerIfMessageBox, 0);
    }
}

CHeldKeys::CHeldKeys(std::initializer_list<BYTE> keys) {
    ::GetKeyboardState(m_saved);
    BYTE state[256];
    std::copy(std::begin(m_saved), std::end(m_saved), state);
    for (BYTE key : keys) {
        state[key] |= 0x80;
    }
    ::SetKeyboardState(state);
}

CHeldKeys::~CHeldKeys() {
    ::SetKeyboardState(m_saved);
}

Pixels DrawPixels(int width, int height, const std::function<void(HDC)>& draw) {
    Pixels pixels{width, height, {}};
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HDC memory = ::CreateCompatibleDC(nullptr);
    HBITMAP bitmap = ::CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = ::SelectObject(memory, bitmap);
    draw(memory);
    ::GdiFlush();
    for (int i = 0; i < width * height; ++i) {
        const BYTE* bgra = static_cast<const BYTE*>(bits) + 4 * i;
        pixels.rgb.push_back(RGB(bgra[2], bgra[1], bgra[0]));
    }
    ::DeleteObject(::SelectObject(memory, old));
    ::DeleteDC(memory);
    return pixels;
}

Pixels PrintClient(HWND window) {
    RECT client{};
    ::GetClientRect(window, &client);
    return DrawPixels(client.right, client.bottom, [window](HDC memory) {
        ::SendMessageA(window, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(memory),
                       PRF_CLIENT | PRF_ERASEBKGND);
    });
}
