#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

// The longest name text the codec reads or writes: labels joined by ".", no trailing dot.
inline constexpr std::size_t kMaxNameText = 255;

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
    // A name that may use compression pointers (a byte of 0xC0 and above with the byte after it).
    // Steps over the bytes the name occupies at the position: its labels and either the first
    // pointer or the zero byte. Fails like ReadLabels, and also for a pointer that does not point
    // strictly before itself and for more pointers than a sound name needs.
    [[nodiscard]] bool ReadName(std::string& text);

private:
    // Appends the label of `length` bytes at `at` to the text; false when it passes the end of
    // the message or makes the text too long.
    [[nodiscard]] bool AppendLabel(std::size_t at, std::size_t length, std::string& text) const;

    std::span<const std::uint8_t> m_message;
    std::size_t m_position = 0;
};
