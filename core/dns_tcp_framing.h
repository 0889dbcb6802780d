#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/dns_packet.h"
#include "net/wsocket.h"

// DNS messages over a stream (RFC 1035 4.2.2, RFC 7766): each message follows a two-byte
// big-endian length, and a connection may carry several in a row.

inline constexpr std::size_t kTcpLengthPrefix = 2;
// The two-byte length allows no more.
inline constexpr std::size_t kMaxTcpMessage = 65535;
// A message shorter than a DNS header is no message: its length is bad.
inline constexpr std::size_t kMinTcpMessage = kDnsHeaderSize;

// Writes `length` (at most kMaxTcpMessage) as the two prefix bytes at the start of `out`.
void PutTcpLength(std::span<std::uint8_t, kTcpLengthPrefix> out, std::size_t length) noexcept;

// Reassembles one length-prefixed message at a time from the bytes of a stream, in whatever
// pieces they come. It never takes a byte beyond the message it is reading: Space() offers
// exactly what is still missing of the prefix or of the message, so a reader that receives into
// it leaves the next message in the stream. A length below kMinTcpMessage is bad, and the
// framer then takes nothing more.
class CDnsTcpFramer {
public:
    enum class Status { kIncomplete, kComplete, kBadLength };

    // Where the next bytes of the stream go; empty once the message is complete or its length
    // was bad.
    [[nodiscard]] std::span<std::uint8_t> Space() noexcept;
    // Takes the first `count` bytes written into Space() (more than its size counts as its
    // size) and gives the status afterwards.
    Status Commit(std::size_t count);
    // Copies as much of `data` as the current message takes and gives how many bytes that was;
    // Status() tells what became of the message.
    std::size_t Feed(std::span<const std::uint8_t> data);

    [[nodiscard]] Status GetStatus() const noexcept { return m_status; }
    // True once a byte of the current message (its prefix included) has been taken: the stream
    // ending now cuts a message short.
    [[nodiscard]] bool Started() const noexcept { return m_prefixHave != 0; }
    // The complete message without its prefix; empty unless the status is kComplete.
    [[nodiscard]] std::span<const std::uint8_t> Message() const noexcept;
    // The complete message behind its prefix, as it came; empty unless kComplete.
    [[nodiscard]] std::span<const std::uint8_t> Framed() const noexcept;
    // Forgets the current message and starts reading the next one.
    void Next() noexcept;

private:
    std::array<std::uint8_t, kTcpLengthPrefix> m_prefix{};
    std::size_t m_prefixHave = 0;
    // The prefix and the message, sized once the length is known.
    std::vector<std::uint8_t> m_framed;
    std::size_t m_framedHave = 0;
    Status m_status = Status::kIncomplete;
};

// Whole milliseconds left until `deadline`, 0 when it has passed.
std::uint32_t MillisecondsLeft(std::chrono::steady_clock::time_point deadline);

enum class TcpRead {
    kMessage,
    // The stream ended between two messages.
    kEnded,
    // A bad length, a message broken off by the end of the stream, or the deadline passed.
    kFailed,
};

// Reads one whole message from a stream socket into `framer`, never a byte beyond it, before
// `deadline`. A socket failure is thrown.
TcpRead ReadTcpMessage(CWSocket& socket, CDnsTcpFramer& framer,
                       std::chrono::steady_clock::time_point deadline);
