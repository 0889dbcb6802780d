#pragma once

#include <windows.h>

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

// Answers every message box that this thread opens while the object lives, from a timer that
// runs inside the message box's own loop: records its text and presses `button`.
class CMessageBoxAnswerer {
public:
    explicit CMessageBoxAnswerer(int button = IDOK);
    CMessageBoxAnswerer(const CMessageBoxAnswerer&) = delete;
    CMessageBoxAnswerer& operator=(const CMessageBoxAnswerer&) = delete;
    ~CMessageBoxAnswerer();
    [[nodiscard]] const std::vector<std::string>& Texts() const { return m_texts; }
    [[nodiscard]] int Button() const { return m_button; }
    void Record(std::string text) { m_texts.push_back(std::move(text)); }

private:
    static void CALLBACK OnTimer(HWND, UINT, UINT_PTR, DWORD);
    int m_button;
    UINT_PTR m_timer;
    std::vector<std::string> m_texts;
};

// Holds keys down in this thread's keyboard state (as GetKeyState sees them) while it lives.
class CHeldKeys {
public:
    CHeldKeys(std::initializer_list<BYTE> keys);
    CHeldKeys(const CHeldKeys&) = delete;
    CHeldKeys& operator=(const CHeldKeys&) = delete;
    ~CHeldKeys();

private:
    BYTE m_saved[256] = {};
};

// Pixels as COLORREF values (0x00BBGGRR), top row first.
struct Pixels {
    int width = 0;
    int height = 0;
    std::vector<COLORREF> rgb;
    [[nodiscard]] COLORREF At(int x, int y) const {
        return rgb[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)];
    }
};
// What `draw` paints into a `width` x `height` memory bitmap.
Pixels DrawPixels(int width, int height, const std::function<void(HDC)>& draw);
// A window's client area as it paints itself into a memory bitmap.
Pixels PrintClient(HWND window);
