#include "net/address_text.h"

#include <array>
#include <cstring>

namespace {

constexpr std::size_t kMaxParts = 4;
constexpr std::size_t kMaxPartDigits = 11;
constexpr std::uint32_t kMaxPartValue = 255;

std::uint32_t BytesToAddress(const std::array<std::uint8_t, kMaxParts>& bytes) {
    std::uint32_t address = 0;
    std::memcpy(&address, bytes.data(), sizeof address);
    return address;
}

}  // namespace

std::uint32_t TextToAddress(std::string_view text) {
    std::array<std::uint8_t, kMaxParts> bytes{};
    std::size_t part = 0;
    std::size_t digits = 0;
    std::uint32_t value = 0;

    // Stores the part just ended; false when the text cannot be an address.
    auto end_part = [&]() {
        if (part == kMaxParts || value > kMaxPartValue) {
            return false;
        }
        bytes[part++] = static_cast<std::uint8_t>(value);
        digits = 0;
        value = 0;
        return true;
    };

    for (char c : text) {
        if (c == '.') {
            if (!end_part()) {
                return kAddressNone;
            }
        } else if (c >= '0' && c <= '9') {
            if (++digits > kMaxPartDigits) {
                return kAddressNone;
            }
            // Eleven digits fit in 64 bits; only a value within 0..255 is ever stored.
            value =
                value > kMaxPartValue ? value : value * 10 + static_cast<std::uint32_t>(c - '0');
        } else {
            return kAddressNone;
        }
    }
    if (!end_part()) {
        return kAddressNone;
    }
    return BytesToAddress(bytes);
}

std::string AddressToText(std::uint32_t address) {
    std::array<std::uint8_t, kMaxParts> bytes{};
    std::memcpy(bytes.data(), &address, sizeof address);
    std::string text;
    for (std::size_t i = 0; i < kMaxParts; ++i) {
        if (i != 0) {
            text += '.';
        }
        text += std::to_string(bytes[i]);
    }
    return text;
}
