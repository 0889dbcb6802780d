#include "core/upstream_settings.h"

namespace {

class CSystemClock final : public IClock {
public:
    [[nodiscard]] std::time_t Now() const override { return std::time(nullptr); }
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
