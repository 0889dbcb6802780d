#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ui/list_layout.h"

// The registry key under which the per-user application profile lives.
inline constexpr char kRegistryCompany[] = "Veltmark";

// The application's per-user profile: binary values under
// HKEY_CURRENT_USER\Software\<company>\<application>\<section>.
class CRegistryProfile {
public:
    // The application is named after the executable's base name.
    CRegistryProfile();
    CRegistryProfile(std::string company, std::string application);

    // The whole value, or none when it is missing or not REG_BINARY.
    [[nodiscard]] std::optional<std::vector<uint8_t>> ReadBinary(std::string_view section,
                                                                 std::string_view entry) const;
    bool WriteBinary(std::string_view section, std::string_view entry,
                     std::span<const uint8_t> bytes) const;
    [[nodiscard]] std::string SectionKey(std::string_view section) const;

private:
    std::string m_company;
    std::string m_application;
};

// The statistics window's outer rectangle in screen coordinates, value "DLG_INFORMATION_POS"
// of section "Settings": left, top, right, bottom as signed 32-bit little-endian integers.
inline constexpr char kInformationPosEntry[] = "DLG_INFORMATION_POS";
std::vector<uint8_t> EncodeWindowRect(const RECT& rect);
// None unless the value is exactly 16 bytes: a shorter or longer one is not a rectangle.
std::optional<RECT> DecodeWindowRect(std::span<const uint8_t> bytes);

// A report list's column layout, value "Overview" of section "Settings" for the cache list:
// the column count N and the signed sort key (1-based column, negative for descending, 0 for
// none) as 32-bit integers, then per column 1 byte shown flag, 32-bit width in pixels and
// 32-bit display position; 9 x N + 8 bytes in all.
inline constexpr char kOverviewEntry[] = "Overview";
std::vector<uint8_t> EncodeListLayout(const ListLayout& layout);
// None unless the size is 9 x N + 8 for the stored N, that N is the list's `columnCount` and the
// sort key names one of its columns (or none): a layout saved for another list is ignored.
std::optional<ListLayout> DecodeListLayout(std::span<const uint8_t> bytes, int columnCount);
