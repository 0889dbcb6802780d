#include "tests/app/app_test_support.h"

#include <utility>

#include "win/application.h"
#include "win/window.h"

namespace {

constexpr UINT kTimerPeriodMs = 20;
constexpr int kBoxTextId = 0xFFFF;

CBoxAnswers* g_boxAnswers = nullptr;
CWhenWindowOpens* g_whenOpens = nullptr;

std::string ClassOf(HWND window) {
    char name[64] = {};
    ::GetClassNameA(window, name, sizeof name);
    return name;
}

}  // namespace

CBoxAnswers::CBoxAnswers() : m_timer(::SetTimer(nullptr, 0, kTimerPeriodMs, OnTimer)) {
    g_boxAnswers = this;
}

CBoxAnswers::~CBoxAnswers() {
    ::KillTimer(nullptr, m_timer);
    g_boxAnswers = nullptr;
}

void CALLBACK CBoxAnswers::OnTimer(HWND, UINT, UINT_PTR, DWORD) {
    if (g_boxAnswers != nullptr) {
        ::EnumThreadWindows(::GetCurrentThreadId(), AnswerIfBox,
                            reinterpret_cast<LPARAM>(g_boxAnswers));
    }
}

BOOL CALLBACK CBoxAnswers::AnswerIfBox(HWND window, LPARAM self) {
    auto& answers = *reinterpret_cast<CBoxAnswers*>(self);
    HWND text = ::GetDlgItem(window, kBoxTextId);
    if (ClassOf(window) != "#32770" || text == nullptr || !::IsWindowVisible(window) ||
        CWindow(window).GetText() != ApplicationName()) {
        return TRUE;
    }
    const bool isQuestion = ::GetDlgItem(window, IDYES) != nullptr;
    answers.m_texts.push_back(CWindow(text).GetText());
    if (isQuestion && answers.beforeNextAnswer) {
        std::exchange(answers.beforeNextAnswer, nullptr)();
    }
    // Posted: a click sent from here would run the box's end inside this timer.
    ::PostMessageA(window, WM_COMMAND, static_cast<WPARAM>(isQuestion ? answers.question : IDOK),
                   0);
    // Hidden until the box has taken the command, so that it is not answered twice.
    ::ShowWindow(window, SW_HIDE);
    return FALSE;
}

CWhenWindowOpens::CWhenWindowOpens(int controlId, std::string controlClass,
                                   std::function<void(HWND)> script)
    : m_controlId(controlId),
      m_controlClass(std::move(controlClass)),
      m_script(std::move(script)),
      m_timer(::SetTimer(nullptr, 0, kTimerPeriodMs, OnTimer)) {
    g_whenOpens = this;
}

CWhenWindowOpens::~CWhenWindowOpens() {
    ::KillTimer(nullptr, m_timer);
    g_whenOpens = nullptr;
}

BOOL CALLBACK CWhenWindowOpens::FindDialog(HWND window, LPARAM found) {
    const CWhenWindowOpens& self = *g_whenOpens;
    HWND control = ::GetDlgItem(window, self.m_controlId);
    if (ClassOf(window) == "#32770" && ::IsWindowVisible(window) && control != nullptr &&
        (self.m_controlClass.empty() || ClassOf(control) == self.m_controlClass)) {
        *reinterpret_cast<HWND*>(found) = window;
        return FALSE;
    }
    return TRUE;
}

void CALLBACK CWhenWindowOpens::OnTimer(HWND, UINT, UINT_PTR, DWORD) {
    CWhenWindowOpens* self = g_whenOpens;
    if (self == nullptr || self->m_ran) {
        return;
    }
    HWND dialog = nullptr;
    ::EnumThreadWindows(::GetCurrentThreadId(), FindDialog, reinterpret_cast<LPARAM>(&dialog));
    if (dialog == nullptr) {
        return;
    }
    // Before the script: it may pump messages, and with them this timer.
    self->m_ran = true;
    ::KillTimer(nullptr, self->m_timer);
    self->m_script(dialog);
}
