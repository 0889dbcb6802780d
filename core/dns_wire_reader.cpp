#include "core/dns_wire_reader.h"

#include <algorithm>
#include <optional>

namespace {

// A length byte with both top bits set starts a two-byte compression pointer; its other 14 bits
// are an offset from the start of the message.
constexpr std::uint8_t kPointerMark = 0xC0;
constexpr std::size_t kPointerOffsetMask = 0x3F;

// A text of at most 255 characters holds at most 128 labels, and a sound message needs at most
// one pointer per label; a longer chain can only come from a message built to make us loop.
constexpr int kMaxPointers = 128;

}  // namespace

bool CDnsWireReader::Seek(std::size_t position) noexcept {
    if (position > m_message.size()) {
        return false;
    }
    m_position = position;
    return true;
}

bool CDnsWireReader::Skip(std::size_t count) noexcept {
    if (count > m_message.size() - m_position) {
        return false;
    }
    m_position += count;
    return true;
}

bool CDnsWireReader::ReadU8(std::uint8_t& value) noexcept {
    if (m_position >= m_message.size()) {
        return false;
    }
    value = m_message[m_position++];
    return true;
}

bool CDnsWireReader::ReadU16(std::uint16_t& value) noexcept {
    std::uint8_t bytes[2];
    if (!ReadBytes(bytes)) {
        return false;
    }
    value = static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
    return true;
}

bool CDnsWireReader::ReadU32(std::uint32_t& value) noexcept {
    std::uint8_t bytes[4];
    if (!ReadBytes(bytes)) {
        return false;
    }
    value = std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
            std::uint32_t{bytes[2]} << 8 | std::uint32_t{bytes[3]};
    return true;
}

bool CDnsWireReader::ReadBytes(std::span<std::uint8_t> out) noexcept {
    if (out.size() > m_message.size() - m_position) {
        return false;
    }
    const auto from = m_message.subspan(m_position, out.size());
    std::copy(from.begin(), from.end(), out.begin());
    m_position += out.size();
    return true;
}

bool CDnsNameText::LabelsAreDotFree() const noexcept {
    const auto dots = static_cast<std::size_t>(
        std::count(m_chars.begin(), m_chars.begin() + static_cast<std::ptrdiff_t>(m_size), '.'));
    return m_labels == 0 || dots + 1 == m_labels;
}

bool CDnsNameText::AppendLabel(std::span<const std::uint8_t> label) noexcept {
    const std::size_t separator = m_labels == 0 ? 0 : 1;
    if (m_size + separator + label.size() > kMaxNameText) {
        return false;
    }
    if (separator != 0) {
        m_chars[m_size++] = '.';
    }
    for (const std::uint8_t byte : label) {
        m_chars[m_size++] = static_cast<char>(byte);
    }
    ++m_labels;
    m_longestLabel = std::max(m_longestLabel, label.size());
    return true;
}

bool CDnsWireReader::AppendLabel(std::size_t at, std::size_t length,
                                 CDnsNameText& text) const noexcept {
    if (at > m_message.size() || length > m_message.size() - at) {
        return false;
    }
    return text.AppendLabel(m_message.subspan(at, length));
}

bool CDnsWireReader::ReadLabels(std::string& text) {
    CDnsNameText decoded;
    if (!ReadLabels(decoded)) {
        return false;
    }
    text = decoded.View();
    return true;
}

bool CDnsWireReader::ReadLabels(CDnsNameText& text) noexcept {
    CDnsNameText decoded;
    std::size_t at = m_position;
    for (;;) {
        if (at >= m_message.size()) {
            return false;
        }
        const std::size_t length = m_message[at];
        if (length == 0) {
            break;
        }
        if (!AppendLabel(at + 1, length, decoded)) {
            return false;
        }
        at += 1 + length;
    }
    m_position = at + 1;
    text = decoded;
    return true;
}

bool CDnsWireReader::ReadName(std::string& text) {
    CDnsNameText decoded;
    if (!ReadName(decoded)) {
        return false;
    }
    text = decoded.View();
    return true;
}

bool CDnsWireReader::ReadName(CDnsNameText& text) noexcept {
    CDnsNameText decoded;
    std::size_t at = m_position;
    // Where the name ends at the reader's position: after the first pointer, or after the zero
    // byte when there is no pointer.
    std::optional<std::size_t> end;
    int pointers = 0;
    for (;;) {
        if (at >= m_message.size()) {
            return false;
        }
        const std::uint8_t length = m_message[at];
        if (length == 0) {
            break;
        }
        if (length >= kPointerMark) {
            if (m_message.size() - at < 2 || ++pointers > kMaxPointers) {
                return false;
            }
            const std::size_t target = (length & kPointerOffsetMask) << 8 | m_message[at + 1];
            // A pointer must point backwards, which also keeps it inside the message. Backwards
            // alone does not stop a cycle (a label run that ends in a pointer to its own start),
            // but every turn of one adds text or counts a pointer, and both are bounded.
            if (target >= at) {
                return false;
            }
            if (!end) {
                end = at + 2;
            }
            at = target;
            continue;
        }
        if (!AppendLabel(at + 1, length, decoded)) {
            return false;
        }
        at += 1 + std::size_t{length};
    }
    m_position = end.value_or(at + 1);
    text = decoded;
    return true;
}
