#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Moves values between a dialog's controls and its members in one direction. Reading a control
// that does not hold a valid value, or a value that fails a range check, tells the user, puts
// the focus on that control and marks the exchange failed; every later step of a failed
// exchange does nothing, so the members keep what the user can correct.
class CDataExchange {
public:
    CDataExchange(HWND dialog, bool saveAndValidate)
        : m_dialog(dialog), m_saveAndValidate(saveAndValidate) {}

    [[nodiscard]] bool Failed() const { return m_failed; }

    void Text(int id, std::string& value);
    // A whole number: optional blanks, an optional sign, digits, optional blanks; the number
    // must fit the member.
    void Text(int id, int& value);
    void Text(int id, uint32_t& value);
    void Check(int id, bool& value);
    void ComboIndex(int id, int& value);

    // Range checks of the value just read, applied to the control read last.
    void Range(int value, int min, int max);
    void Range(uint32_t value, uint32_t min, uint32_t max);

private:
    HWND Control(int id);
    void Fail(const std::string& message);
    void FailRange(long long min, long long max);

    HWND m_dialog;
    bool m_saveAndValidate;
    bool m_failed = false;
    int m_lastControl = 0;
};

// The whole-number reading of a control's text, or none.
std::optional<long long> ParseWholeNumber(std::string_view text);
