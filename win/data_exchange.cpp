#include "win/data_exchange.h"

#include <limits>

#include "win/message_box.h"
#include "win/window.h"

namespace {

constexpr char kNotAnInteger[] = "Please enter an integer.";
constexpr char kOutOfRange[] = "Please enter an integer between %1 and %2.";

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string ReplaceFirst(std::string text, std::string_view placeholder, std::string_view with) {
    size_t at = text.find(placeholder);
    if (at != std::string::npos) {
        text.replace(at, placeholder.size(), with);
    }
    return text;
}

template <class Integer>
std::optional<Integer> ParseAs(std::string_view text) {
    std::optional<long long> number = ParseWholeNumber(text);
    if (!number || *number < static_cast<long long>(std::numeric_limits<Integer>::min()) ||
        *number > static_cast<long long>(std::numeric_limits<Integer>::max())) {
        return std::nullopt;
    }
    return static_cast<Integer>(*number);
}

}  // namespace

std::optional<long long> ParseWholeNumber(std::string_view text) {
    size_t at = 0;
    while (at < text.size() && IsBlank(text[at])) {
        ++at;
    }
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    // Twelve digits hold every 32-bit value; more fail the range test below anyway, and the
    // bound keeps the sum from overflowing.
    constexpr long long kLimit = 999'999'999'999LL;
    long long magnitude = 0;
    size_t digits = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at, ++digits) {
        if (magnitude <= kLimit) {
            magnitude = magnitude * 10 + (text[at] - '0');
        }
    }
    while (at < text.size() && IsBlank(text[at])) {
        ++at;
    }
    if (digits == 0 || at != text.size()) {
        return std::nullopt;
    }
    return negative ? -magnitude : magnitude;
}

HWND CDataExchange::Control(int id) {
    m_lastControl = id;
    return ::GetDlgItem(m_dialog, id);
}

void CDataExchange::Fail(const std::string& message) {
    m_failed = true;
    ShowMessage(message, MB_OK | MB_ICONEXCLAMATION, m_dialog);
    HWND control = ::GetDlgItem(m_dialog, m_lastControl);
    if (control != nullptr) {
        ::SetFocus(control);
        ::SendMessageA(control, EM_SETSEL, 0, -1);
    }
}

void CDataExchange::FailRange(long long min, long long max) {
    Fail(ReplaceFirst(ReplaceFirst(kOutOfRange, "%1", std::to_string(min)), "%2",
                      std::to_string(max)));
}

void CDataExchange::Text(int id, std::string& value) {
    if (m_failed) {
        return;
    }
    CWindow control(Control(id));
    if (m_saveAndValidate) {
        value = control.GetText();
    } else {
        control.SetText(value);
    }
}

void CDataExchange::Text(int id, int& value) {
    if (m_failed) {
        return;
    }
    CWindow control(Control(id));
    if (!m_saveAndValidate) {
        control.SetText(std::to_string(value));
    } else if (std::optional<int> number = ParseAs<int>(control.GetText())) {
        value = *number;
    } else {
        Fail(kNotAnInteger);
    }
}

void CDataExchange::Text(int id, uint32_t& value) {
    if (m_failed) {
        return;
    }
    CWindow control(Control(id));
    if (!m_saveAndValidate) {
        control.SetText(std::to_string(value));
    } else if (std::optional<uint32_t> number = ParseAs<uint32_t>(control.GetText())) {
        value = *number;
    } else {
        Fail(kNotAnInteger);
    }
}

void CDataExchange::Check(int id, bool& value) {
    if (m_failed) {
        return;
    }
    HWND control = Control(id);
    if (m_saveAndValidate) {
        value = ::SendMessageA(control, BM_GETCHECK, 0, 0) == BST_CHECKED;
    } else {
        ::SendMessageA(control, BM_SETCHECK, value ? BST_CHECKED : BST_UNCHECKED, 0);
    }
}

void CDataExchange::ComboIndex(int id, int& value) {
    if (m_failed) {
        return;
    }
    HWND control = Control(id);
    if (m_saveAndValidate) {
        value = static_cast<int>(::SendMessageA(control, CB_GETCURSEL, 0, 0));
    } else {
        ::SendMessageA(control, CB_SETCURSEL, static_cast<WPARAM>(value), 0);
    }
}

void CDataExchange::Range(int value, int min, int max) {
    if (!m_failed && m_saveAndValidate && (value < min || value > max)) {
        FailRange(min, max);
    }
}

void CDataExchange::Range(uint32_t value, uint32_t min, uint32_t max) {
    if (!m_failed && m_saveAndValidate && (value < min || value > max)) {
        FailRange(min, max);
    }
}
