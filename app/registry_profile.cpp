#include "app/registry_profile.h"

#include <cstdlib>

#include "win/application.h"
#include "win/unicode.h"

namespace {

constexpr size_t kRectSize = 16;
constexpr size_t kLayoutHeaderSize = 8;
constexpr size_t kColumnSize = 9;

void PutInt32(std::vector<uint8_t>& bytes, int32_t value) {
    auto bits = static_cast<uint32_t>(value);
    for (int shift = 0; shift < 32; shift += 8) {
        bytes.push_back(static_cast<uint8_t>(bits >> shift));
    }
}

// The caller has checked that four bytes follow `at`.
int32_t GetInt32(std::span<const uint8_t> bytes, size_t at) {
    uint32_t bits = 0;
    for (size_t i = 0; i < 4; ++i) {
        bits |= static_cast<uint32_t>(bytes[at + i]) << (8 * i);
    }
    return static_cast<int32_t>(bits);
}

}  // namespace

CRegistryProfile::CRegistryProfile() : CRegistryProfile(kRegistryCompany, ModuleBaseName()) {}

CRegistryProfile::CRegistryProfile(std::string company, std::string application)
    : m_company(std::move(company)), m_application(std::move(application)) {}

std::string CRegistryProfile::SectionKey(std::string_view section) const {
    return "Software\\" + m_company + "\\" + m_application + "\\" + std::string(section);
}

std::optional<std::vector<uint8_t>> CRegistryProfile::ReadBinary(std::string_view section,
                                                                 std::string_view entry) const {
    HKEY key = nullptr;
    // The key is named after the executable, whose name may be any text.
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, ToUtf16(SectionKey(section)).c_str(), 0, KEY_QUERY_VALUE,
                        &key) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::string name(entry);
    DWORD type = 0;
    DWORD size = 0;
    std::optional<std::vector<uint8_t>> result;
    if (::RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        type == REG_BINARY) {
        std::vector<uint8_t> bytes(size);
        if (::RegQueryValueExA(key, name.c_str(), nullptr, &type, bytes.data(), &size) ==
            ERROR_SUCCESS) {
            bytes.resize(size);
            result = std::move(bytes);
        }
    }
    ::RegCloseKey(key);
    return result;
}

bool CRegistryProfile::WriteBinary(std::string_view section, std::string_view entry,
                                   std::span<const uint8_t> bytes) const {
    HKEY key = nullptr;
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, ToUtf16(SectionKey(section)).c_str(), 0, nullptr, 0,
                          KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    LSTATUS status = ::RegSetValueExA(key, std::string(entry).c_str(), 0, REG_BINARY, bytes.data(),
                                      static_cast<DWORD>(bytes.size()));
    ::RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

std::vector<uint8_t> EncodeWindowRect(const RECT& rect) {
    std::vector<uint8_t> bytes;
    for (LONG side : {rect.left, rect.top, rect.right, rect.bottom}) {
        PutInt32(bytes, side);
    }
    return bytes;
}

std::optional<RECT> DecodeWindowRect(std::span<const uint8_t> bytes) {
    if (bytes.size() != kRectSize) {
        return std::nullopt;
    }
    return RECT{GetInt32(bytes, 0), GetInt32(bytes, 4), GetInt32(bytes, 8), GetInt32(bytes, 12)};
}

std::vector<uint8_t> EncodeListLayout(const ListLayout& layout) {
    std::vector<uint8_t> bytes;
    PutInt32(bytes, static_cast<int32_t>(layout.columns.size()));
    PutInt32(bytes, layout.sortKey);
    for (const ColumnLayout& column : layout.columns) {
        bytes.push_back(column.shown ? 1 : 0);
        PutInt32(bytes, column.width);
        PutInt32(bytes, column.position);
    }
    return bytes;
}

std::optional<ListLayout> DecodeListLayout(std::span<const uint8_t> bytes, int columnCount) {
    if (columnCount < 0 || bytes.size() < kLayoutHeaderSize) {
        return std::nullopt;
    }
    auto count = static_cast<size_t>(columnCount);
    if (bytes.size() != kLayoutHeaderSize + kColumnSize * count ||
        GetInt32(bytes, 0) != columnCount) {
        return std::nullopt;
    }
    ListLayout layout;
    layout.sortKey = GetInt32(bytes, 4);
    // In 64 bits, so that the most negative key has a magnitude too.
    if (std::llabs(static_cast<long long>(layout.sortKey)) > columnCount) {
        return std::nullopt;
    }
    for (size_t at = kLayoutHeaderSize; at < bytes.size(); at += kColumnSize) {
        layout.columns.push_back(
            {bytes[at] != 0, GetInt32(bytes, at + 1), GetInt32(bytes, at + 5)});
    }
    return layout;
}
