#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

// Helpers for tests that open real windows. Linking this file also registers the common controls
// and arms a watchdog that ends the process after two minutes, so that a dialog nobody closes
// cannot hang the run.

// Dispatches this thread's messages (as the program's loops do) for `milliseconds`.
void PumpMessages(int milliseconds);
// Dispatches messages until `done` holds or `milliseconds` have passed; whether it held.
bool PumpUntil(const std::function<bool()>& done, int milliseconds);

inline int MillisecondsSince(std::chrono::steady_clock::time_point start) {
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - start)
                                .count());
}

// Answers the message boxes of this thread while it lives, as the user would, from a timer that
// runs inside their own loops: a Yes/No question with `answer`, any other box with OK. Records
// their texts. Only boxes captioned with the application's name are answered.
class CMessageBoxAnswerer {
public:
    explicit CMessageBoxAnswerer(int questionAnswer = IDNO);
    CMessageBoxAnswerer(const CMessageBoxAnswerer&) = delete;
    CMessageBoxAnswerer& operator=(const CMessageBoxAnswerer&) = delete;
    ~CMessageBoxAnswerer();

    [[nodiscard]] const std::vector<std::string>& Texts() const { return m_texts; }
    int answer;
    // Runs once, just before the next question is answered.
    std::function<void()> beforeNextAnswer;

private:
    static void CALLBACK OnTimer(HWND, UINT, UINT_PTR, DWORD);
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
    int m_controlId;
    std::string m_controlClass;
    std::function<void(HWND)> m_script;
    UINT_PTR m_timer;
    bool m_ran = false;
};

// A key press that reaches `window` through this thread's message loop, with the modifiers held
// in this thread's keyboard state (as GetKeyState sees them); with Alt it comes as a system key.
void PressKey(HWND window, UINT key, std::initializer_list<BYTE> modifiers = {});
// Types into the editor that the list view `list` has open and ends it with `key`.
void TypeInEditor(HWND list, const std::string& text, UINT key = VK_RETURN);
// A mouse click, left or right, on the middle of a header's item at `index`.
void ClickHeaderItem(HWND header, int index, bool right = false);
