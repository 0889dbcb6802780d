#include "tests/win/gui_test_support.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include "win/application.h"
#include "win/controls.h"
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

constexpr UINT kScriptTimerMs = 20;
constexpr int kBoxTextId = 0xFFFF;

CMessageBoxAnswerer* g_answerer = nullptr;
CWhenWindowOpens* g_whenOpens = nullptr;

std::string ClassOf(HWND window) {
    char name[64] = {};
    ::GetClassNameA(window, name, sizeof name);
    return name;
}

// The first visible dialog-class window of this thread for which `matches` holds.
using Match = std::function<bool(HWND)>;
BOOL CALLBACK TryWindow(HWND window, LPARAM search) {
    auto& [matches, found] = *reinterpret_cast<std::pair<const Match*, HWND>*>(search);
    if (ClassOf(window) != "#32770" || !::IsWindowVisible(window) || !(*matches)(window)) {
        return TRUE;
    }
    found = window;
    return FALSE;
}
HWND FindDialog(const Match& matches) {
    std::pair<const Match*, HWND> search{&matches, nullptr};
    ::EnumThreadWindows(::GetCurrentThreadId(), TryWindow, reinterpret_cast<LPARAM>(&search));
    return search.second;
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

CMessageBoxAnswerer::CMessageBoxAnswerer(int questionAnswer)
    : answer(questionAnswer), m_timer(::SetTimer(nullptr, 0, kScriptTimerMs, OnTimer)) {
    g_answerer = this;
}

CMessageBoxAnswerer::~CMessageBoxAnswerer() {
    ::KillTimer(nullptr, m_timer);
    g_answerer = nullptr;
}

void CALLBACK CMessageBoxAnswerer::OnTimer(HWND, UINT, UINT_PTR, DWORD) {
    HWND box = g_answerer == nullptr ? nullptr : FindDialog([](HWND window) {
        return ::GetDlgItem(window, kBoxTextId) != nullptr &&
               CWindow(window).GetText() == ApplicationName();
    });
    if (box == nullptr) {
        return;
    }
    const bool isQuestion = ::GetDlgItem(box, IDYES) != nullptr;
    g_answerer->m_texts.push_back(CWindow(::GetDlgItem(box, kBoxTextId)).GetText());
    if (isQuestion && g_answerer->beforeNextAnswer) {
        std::exchange(g_answerer->beforeNextAnswer, nullptr)();
    }
    // Posted: a click sent from here would run the box's end inside this timer.
    ::PostMessageA(box, WM_COMMAND, static_cast<WPARAM>(isQuestion ? g_answerer->answer : IDOK), 0);
    // Hidden until the box has taken the command, so that it is not answered twice.
    ::ShowWindow(box, SW_HIDE);
}

CWhenWindowOpens::CWhenWindowOpens(int controlId, std::string controlClass,
                                   std::function<void(HWND)> script)
    : m_controlId(controlId),
      m_controlClass(std::move(controlClass)),
      m_script(std::move(script)),
      m_timer(::SetTimer(nullptr, 0, kScriptTimerMs, OnTimer)) {
    g_whenOpens = this;
}

CWhenWindowOpens::~CWhenWindowOpens() {
    ::KillTimer(nullptr, m_timer);
    g_whenOpens = nullptr;
}

void CALLBACK CWhenWindowOpens::OnTimer(HWND, UINT, UINT_PTR, DWORD) {
    CWhenWindowOpens* self = g_whenOpens;
    if (self == nullptr || self->m_ran) {
        return;
    }
    HWND dialog = FindDialog([self](HWND window) {
        HWND control = ::GetDlgItem(window, self->m_controlId);
        return control != nullptr &&
               (self->m_controlClass.empty() || ClassOf(control) == self->m_controlClass);
    });
    if (dialog == nullptr) {
        return;
    }
    // Before the script: it may pump messages, and with them this timer.
    self->m_ran = true;
    ::KillTimer(nullptr, self->m_timer);
    self->m_script(dialog);
}

void PressKey(HWND window, UINT key, std::initializer_list<BYTE> modifiers) {
    BYTE saved[256] = {};
    BYTE held[256] = {};
    ::GetKeyboardState(saved);
    std::copy(std::begin(saved), std::end(saved), held);
    for (BYTE modifier : modifiers) {
        held[modifier] |= 0x80;
    }
    ::SetKeyboardState(held);
    const bool alt = (held[VK_MENU] & 0x80) != 0;
    ::PostMessageA(window, alt ? WM_SYSKEYDOWN : WM_KEYDOWN, key, alt ? (1 << 29) | 1 : 1);
    PumpMessages(30);
    ::SetKeyboardState(saved);
}

void TypeInEditor(HWND list, const std::string& text, UINT key) {
    HWND editor = CListView(list).GetEditControl();
    ASSERT_NE(editor, nullptr) << "no editor is open for " << text;
    CWindow(editor).SetText(text);
    ::PostMessageA(editor, WM_KEYDOWN, key, 1);
    PumpMessages(60);
}

void ClickHeaderItem(HWND header, int index, bool right) {
    RECT rect{};
    ::SendMessageA(header, HDM_GETITEMRECT, static_cast<WPARAM>(index),
                   reinterpret_cast<LPARAM>(&rect));
    const LPARAM at = MakeLParam((rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
    ::SendMessageA(header, right ? WM_RBUTTONDOWN : WM_LBUTTONDOWN, right ? MK_RBUTTON : MK_LBUTTON,
                   at);
    ::SendMessageA(header, right ? WM_RBUTTONUP : WM_LBUTTONUP, 0, at);
    PumpMessages(20);
}
