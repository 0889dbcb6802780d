#include "core/dns_tcp_framing.h"

#include <algorithm>
#include <limits>

void PutTcpLength(std::span<std::uint8_t, kTcpLengthPrefix> out, std::size_t length) noexcept {
    out[0] = static_cast<std::uint8_t>(length >> 8);
    out[1] = static_cast<std::uint8_t>(length);
}

std::span<std::uint8_t> CDnsTcpFramer::Space() noexcept {
    if (m_status != Status::kIncomplete) {
        return {};
    }
    if (m_prefixHave < m_prefix.size()) {
        return std::span(m_prefix).subspan(m_prefixHave);
    }
    return std::span(m_framed).subspan(m_framedHave);
}

CDnsTcpFramer::Status CDnsTcpFramer::Commit(std::size_t count) {
    if (m_status != Status::kIncomplete) {
        return m_status;
    }
    if (m_prefixHave < m_prefix.size()) {
        m_prefixHave += std::min(count, m_prefix.size() - m_prefixHave);
        if (m_prefixHave < m_prefix.size()) {
            return m_status;
        }
        const std::size_t length = std::size_t{m_prefix[0]} << 8 | m_prefix[1];
        if (length < kMinTcpMessage) {
            m_status = Status::kBadLength;
            return m_status;
        }
        m_framed.resize(kTcpLengthPrefix + length);
        std::copy(m_prefix.begin(), m_prefix.end(), m_framed.begin());
        m_framedHave = kTcpLengthPrefix;
        return m_status;
    }
    m_framedHave += std::min(count, m_framed.size() - m_framedHave);
    if (m_framedHave == m_framed.size()) {
        m_status = Status::kComplete;
    }
    return m_status;
}

std::size_t CDnsTcpFramer::Feed(std::span<const std::uint8_t> data) {
    std::size_t taken = 0;
    while (taken < data.size()) {
        const std::span<std::uint8_t> space = Space();
        if (space.empty()) {
            break;
        }
        const std::size_t count = std::min(space.size(), data.size() - taken);
        std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(taken), count, space.begin());
        taken += count;
        Commit(count);
    }
    return taken;
}

std::span<const std::uint8_t> CDnsTcpFramer::Message() const noexcept {
    return Framed().subspan(m_status == Status::kComplete ? kTcpLengthPrefix : 0);
}

std::span<const std::uint8_t> CDnsTcpFramer::Framed() const noexcept {
    if (m_status != Status::kComplete) {
        return {};
    }
    return m_framed;
}

void CDnsTcpFramer::Next() noexcept {
    m_prefixHave = 0;
    m_framedHave = 0;
    m_status = Status::kIncomplete;
    // The buffer is kept for the next message, whose length resizes it.
}

std::uint32_t MillisecondsLeft(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
            .count();
    constexpr std::int64_t kLongest = std::numeric_limits<std::uint32_t>::max();
    return left <= 0 ? 0 : static_cast<std::uint32_t>(std::min<std::int64_t>(left, kLongest));
}

TcpRead ReadTcpMessage(CWSocket& socket, CDnsTcpFramer& framer,
                       std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const std::uint32_t left = MillisecondsLeft(deadline);
        if (left == 0) {
            return TcpRead::kFailed;
        }
        socket.SetReceiveTimeout(left);
        const std::span<std::uint8_t> space = framer.Space();
        const std::size_t received = socket.Receive(space.data(), space.size());
        if (received == 0) {
            return framer.Started() ? TcpRead::kFailed : TcpRead::kEnded;
        }
        switch (framer.Commit(received)) {
            case CDnsTcpFramer::Status::kComplete:
                return TcpRead::kMessage;
            case CDnsTcpFramer::Status::kBadLength:
                return TcpRead::kFailed;
            case CDnsTcpFramer::Status::kIncomplete:
                break;
        }
    }
}
