#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// The longest name text the codec reads or writes: labels joined by ".", no trailing dot.
inline constexpr std::size_t kMaxNameText = 255;

// A name's text in a buffer of its own, so that reading a query's question allocates nothing.
class CDnsNameText {
public:
    [[nodiscard]] std::string_view View() const noexcept { return {m_chars.data(), m_size}; }
    [[nodiscard]] std::size_t Labels() const noexcept { return m_labels; }
    [[nodiscard]] std::size_t LongestLabel() const noexcept { return m_longestLabel; }
    // False when a label holds a "." byte: the text then reads as another name with more labels.
    [[nodiscard]] bool LabelsAreDotFree() const noexcept;

    void Clear() noexcept { m_size = m_labels = m_longestLabel = 0; }
    // Appends a label, after a "." unless it is the first; false (nothing appended) when the
    // text would exceed kMaxNameText.
    [[nodiscard]] bool AppendLabel(std::span<const std::uint8_t> label) noexcept;

private:
    std::array<char, kMaxNameText> m_chars{};
    std::size_t m_size = 0;
    std::size_t m_labels = 0;
    std::size_t m_longestLabel = 0;
};

// A bounds-checked cursor over one received DNS message: the only code that touches the bytes of
// a message that came from the network. Every read checks that what it reads lies inside the
// message; a read that would pass the end fails, returns false and leaves the position and its
// output as they were.
class CDnsWireReader {
public:
    explicit CDnsWireReader(std::span<const std::uint8_t> message) noexcept : m_message(message) {}

    [[nodiscard]] std::size_t Position() const noexcept { return m_position; }
    [[nodiscard]] std::size_t Length() const noexcept { return m_message.size(); }

    // Moves to a position inside the message; the end itself counts as inside.
    [[nodiscard]] bool Seek(std::size_t position) noexcept;
    [[nodiscard]] bool Skip(std::size_t count) noexcept;
    [[nodiscard]] bool ReadU8(std::uint8_t& value) noexcept;
    // Big-endian, as every multi-byte field on the wire.
    [[nodiscard]] bool ReadU16(std::uint16_t& value) noexcept;
    [[nodiscard]] bool ReadU32(std::uint32_t& value) noexcept;
    [[nodiscard]] bool ReadBytes(std::span<std::uint8_t> out) noexcept;

    // A label sequence without compression, up to its zero byte. Every other byte counts as a
    // label length, 0xC0 and above too. Fails when a label passes the end of the message or the
    // text would be longer than kMaxNameText.
    [[nodiscard]] bool ReadLabels(std::string& text);
    [[nodiscard]] bool ReadLabels(CDnsNameText& text) noexcept;
    // A name that may use compression pointers (a byte of 0xC0 and above with the byte after it).
    // Steps over the bytes the name occupies at the position: its labels and either the first
    // pointer or the zero byte. Fails like ReadLabels, and also for a pointer that does not point
    // strictly before itself and for more pointers than a sound name needs.
    [[nodiscard]] bool ReadName(std::string& text);
    [[nodiscard]] bool ReadName(CDnsNameText& text) noexcept;

private:
    // Appends the label of `length` bytes at `at` to the text; false when it passes the end of
    // the message or makes the text too long.
    [[nodiscard]] bool AppendLabel(std::size_t at, std::size_t length,
                                   CDnsNameText& text) const noexcept;

    std::span<const std::uint8_t> m_message;
    std::size_t m_position = 0;
};
