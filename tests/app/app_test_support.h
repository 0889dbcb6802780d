#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// Answers the message boxes of this thread from a timer that runs inside their own loops, as
// the user would: a Yes/No question with `question`, any other box with OK. Records their texts.
class CBoxAnswers {
public:
    CBoxAnswers();
    CBoxAnswers(const CBoxAnswers&) = delete;
    CBoxAnswers& operator=(const CBoxAnswers&) = delete;
    ~CBoxAnswers();

    [[nodiscard]] const std::vector<std::string>& Texts() const { return m_texts; }
    int question = IDNO;
    // Runs once, just before the next question is answered.
    std::function<void()> beforeNextAnswer;

private:
    static void CALLBACK OnTimer(HWND, UINT, UINT_PTR, DWORD);
    static BOOL CALLBACK AnswerIfBox(HWND window, LPARAM self);
    UINT_PTR m_timer;
    std::vector<std::string> m_texts;
};

// Runs `script` once on this thread, from a timer, as soon as a dialog of this thread shows a
// control `controlId` of the window class `controlClass` (of any class when that is empty); the
// script gets the dialog. Whatever loop runs then (a modal dialog's) dispatches the timer.
class CWhenWindowOpens {
public:
    CWhenWindowOpens(int controlId, std::string controlClass, std::function<void(HWND)> script);
    CWhenWindowOpens(const CWhenWindowOpens&) = delete;
    CWhenWindowOpens& operator=(const CWhenWindowOpens&) = delete;
    ~CWhenWindowOpens();
    [[nodiscard]] bool Ran() const { return m_ran; }

private:
    static void CALLBACK OnTimer(HWND, UINT, UINT_PTR, DWORD);
    static BOOL CALLBACK FindDialog(HWND window, LPARAM found);
    int m_controlId;
    std::string m_controlClass;
    std::function<void(HWND)> m_script;
    UINT_PTR m_timer;
    bool m_ran = false;
};
