#include "core/upstream_settings.h"

#include <chrono>

namespace {

// The system clock rather than time(): the C runtime under Wine reads the time zone in every
// time() call (two file-system calls), and the proxy reads the clock for every datagram.
class CSystemClock final : public IClock {
public:
    [[nodiscard]] std::time_t Now() const override {
        return std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    }
};

}  // namespace

std::string CUpstreamSettings::CurrentDnsServer() const {
    const std::lock_guard guard(m_lock);
    return m_server;
}

void CUpstreamSettings::SetCurrentDnsServer(std::string_view server) {
    const std::lock_guard guard(m_lock);
    m_server = server;
}

UpstreamTarget CUpstreamSettings::Target() const {
    return {CurrentDnsServer(), DnsServerPort(), Wait()};
}

const IClock& SystemClock() {
    static const CSystemClock clock;
    return clock;
}
