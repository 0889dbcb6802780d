#include "core/upstream_settings.h"

#include <algorithm>
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

std::shared_ptr<CUpstreamServer> FallbackServer() {
    std::string reason;
    return std::make_shared<CUpstreamServer>(std::string(kFallbackDnsServer),
                                             *ParseUpstreamServer(kFallbackDnsServer, reason));
}

// The server of `previous` at the same address and port (its state goes on), else a new one.
std::shared_ptr<CUpstreamServer> ServerFor(const std::string& text, const CSocketAddress& address,
                                           const UpstreamServerList& previous) {
    for (const std::shared_ptr<CUpstreamServer>& server : previous) {
        if (server->Address() == address && server->Address().ScopeId() == address.ScopeId()) {
            return server->Text() == text ? server
                                          : std::make_shared<CUpstreamServer>(text, address);
        }
    }
    return std::make_shared<CUpstreamServer>(text, address);
}

}  // namespace

UpstreamServerList UpstreamTarget::PreferenceOrder() const {
    UpstreamServerList order;
    order.reserve(Servers->size());
    std::ranges::copy_if(*Servers, std::back_inserter(order),
                         [](const auto& server) { return !server->Silent(); });
    std::ranges::copy_if(*Servers, std::back_inserter(order),
                         [](const auto& server) { return server->Silent(); });
    return order;
}

std::shared_ptr<CUpstreamServer> UpstreamTarget::Preferred() const {
    const auto answering =
        std::ranges::find_if(*Servers, [](const auto& server) { return !server->Silent(); });
    return answering != Servers->end() ? *answering : Servers->front();
}

int AnsweringServers(const UpstreamTarget& target) {
    return static_cast<int>(std::ranges::count_if(
        *target.Servers, [](const auto& server) { return !server->Silent(); }));
}

CUpstreamSettings::CUpstreamSettings()
    : m_servers(std::make_shared<const UpstreamServerList>(UpstreamServerList{FallbackServer()})) {}

bool CUpstreamSettings::SetServers(std::span<const std::string> texts) {
    if (texts.empty()) {
        return false;
    }
    const std::shared_ptr<const UpstreamServerList> previous = Target().Servers;
    UpstreamServerList servers;
    for (const std::string& text : texts) {
        std::string reason;
        const std::optional<CSocketAddress> address = ParseUpstreamServer(text, reason);
        const bool listed = address && std::ranges::any_of(servers, [&](const auto& server) {
                                return server->Address() == *address;
                            });
        if (address && !listed && !LoopsToProxy(*address, {})) {
            servers.push_back(ServerFor(text, *address, *previous));
        }
    }
    const bool valid = !servers.empty();
    if (!valid) {
        servers.push_back(FallbackServer());
    }
    auto list = std::make_shared<const UpstreamServerList>(std::move(servers));
    const std::lock_guard guard(m_lock);
    m_servers = std::move(list);
    return valid;
}

std::vector<std::string> CUpstreamSettings::ServerTexts() const {
    std::vector<std::string> texts;
    for (const auto& server : *Target().Servers) {
        texts.push_back(server->Text());
    }
    return texts;
}

std::string CUpstreamSettings::CurrentDnsServer() const {
    return Target().Preferred()->Text();
}

UpstreamTarget CUpstreamSettings::Target() const {
    const std::lock_guard guard(m_lock);
    return {m_servers, Wait()};
}

const IClock& SystemClock() {
    static const CSystemClock clock;
    return clock;
}
