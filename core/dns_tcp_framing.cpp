#include "core/dns_tcp_framing.h"

#include <algorithm>

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
