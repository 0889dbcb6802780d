#include "app/domain_text.h"

#include <windows.h>

#include <algorithm>
#include <array>

#include "win/unicode.h"

namespace {

// The longest name the IDN functions give, with room to spare.
constexpr int kMaxConverted = 1024;

bool IsAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool IsAcePrefixed(std::string_view label) {
    return label.size() > 4 && (label[0] == 'x' || label[0] == 'X') &&
           (label[1] == 'n' || label[1] == 'N') && label[2] == '-' && label[3] == '-';
}

std::string EscapedBytes(std::string_view label) {
    std::string shown;
    for (const char c : label) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            shown += c;
        } else {
            shown += '\\' + std::to_string(byte);  // three digits: the byte is above 127
        }
    }
    return shown;
}

std::string DisplayLabel(std::string_view label) {
    std::wstring wide;
    if (!IsAscii(label)) {
        return ToUtf16Exactly(label, wide) ? std::string(label) : EscapedBytes(label);
    }
    if (!IsAcePrefixed(label)) {
        return std::string(label);
    }
    wide = ToUtf16(label);
    std::array<wchar_t, kMaxConverted> unicode{};
    const int length = ::IdnToUnicode(0, wide.data(), static_cast<int>(wide.size()), unicode.data(),
                                      static_cast<int>(unicode.size()));
    return length > 0 ? ToUtf8({unicode.data(), static_cast<size_t>(length)}) : std::string(label);
}

}  // namespace

std::string DisplayDomain(std::string_view domain) {
    // Most names are plain ASCII without an "xn--" label: they show as they are, at once.
    if (IsAscii(domain) && domain.find("--") == std::string_view::npos) {
        return std::string(domain);
    }
    std::string shown;
    size_t start = 0;
    for (;;) {
        const size_t dot = domain.find('.', start);
        shown += DisplayLabel(domain.substr(start, dot - start));
        if (dot == std::string_view::npos) {
            return shown;
        }
        shown += '.';
        start = dot + 1;
    }
}

std::optional<std::string> WireDomain(std::string_view typed) {
    if (IsAscii(typed)) {
        return std::string(typed);
    }
    const std::wstring wide = ToUtf16(typed);
    std::array<wchar_t, kMaxConverted> ascii{};
    const int length = ::IdnToAscii(0, wide.data(), static_cast<int>(wide.size()), ascii.data(),
                                    static_cast<int>(ascii.size()));
    if (length <= 0) {
        return std::nullopt;
    }
    return ToUtf8({ascii.data(), static_cast<size_t>(length)});
}
