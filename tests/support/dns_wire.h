#pragma once

// Builds DNS messages field by field, independently of the codec under test.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace qftest {

using Bytes = std::vector<std::uint8_t>;

class Wire {
public:
    Wire() = default;
    explicit Wire(Bytes bytes) : m_bytes(std::move(bytes)) {}
    Wire& Raw(std::initializer_list<int> values) {
        for (int value : values) {
            m_bytes.push_back(static_cast<std::uint8_t>(value));
        }
        return *this;
    }
    Wire& Raw(std::span<const std::uint8_t> bytes) {
        m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end());
        return *this;
    }
    Wire& U16(unsigned value) { return Raw({int(value >> 8 & 0xFF), int(value & 0xFF)}); }
    Wire& U32(std::uint32_t value) { return U16(value >> 16).U16(value & 0xFFFF); }
    Wire& Name(std::string_view dotted) {
        for (std::size_t start = 0; start < dotted.size();) {
            const std::size_t end = std::min(dotted.find('.', start), dotted.size());
            m_bytes.push_back(static_cast<std::uint8_t>(end - start));
            m_bytes.insert(m_bytes.end(), dotted.begin() + std::ptrdiff_t(start),
                           dotted.begin() + std::ptrdiff_t(end));
            start = end + 1;
        }
        return Raw({0});
    }
    // The two id bytes as they stand, the two flag bytes and QDCOUNT 1.
    Wire& Header(int id0, int id1, int flags, int flags2, unsigned answers) {
        return Raw({id0, id1, flags, flags2}).U16(1).U16(answers).U32(0);
    }
    Wire& Question(std::string_view name, unsigned type = 1) { return Name(name).U16(type).U16(1); }
    // A record whose owner is the question name, by a pointer to offset 12.
    Wire& Record(unsigned type, std::uint32_t ttl, std::initializer_list<int> data) {
        U16(0xC00C).U16(type).U16(1).U32(ttl).U16(unsigned(data.size()));
        return Raw(data);
    }
    Wire& A(std::uint32_t ttl, int a, int b, int c, int d) { return Record(1, ttl, {a, b, c, d}); }
    [[nodiscard]] const Bytes& Get() const { return m_bytes; }

private:
    Bytes m_bytes;
};

}  // namespace qftest
