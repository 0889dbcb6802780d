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
                                             *ParseUpstreamEndpoint(kFallbackDnsServer, reason));
}

// The server of `previous` with the same text (its state goes on), else a new one.
std::shared_ptr<CUpstreamServer> ServerFor(const std::string& text, UpstreamEndpoint endpoint,
                                           const UpstreamServerList& previous) {
    for (const std::shared_ptr<CUpstreamServer>& server : previous) {
        if (server->Text() == text) {
            return server;
        }
    }
    return std::make_shared<CUpstreamServer>(text, std::move(endpoint));
}

// The servers of `texts` that read and are no loop to the proxy, each once.
UpstreamServerList ReadServers(std::span<const std::string> texts,
                               const UpstreamServerList& previous) {
    UpstreamServerList servers;
    for (const std::string& text : texts) {
        std::string reason;
        std::optional<UpstreamEndpoint> endpoint = ParseUpstreamEndpoint(text, reason);
        if (!endpoint || (!endpoint->Https && LoopsToProxy(endpoint->Address, {})) ||
            std::ranges::any_of(
                servers, [&](const auto& server) { return server->SameEndpoint(*endpoint); })) {
            continue;
        }
        servers.push_back(ServerFor(text, std::move(*endpoint), previous));
    }
    return servers;
}

bool EqualIgnoringAsciiCase(std::string_view left, std::string_view right) {
    const auto lower = [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    };
    return left.size() == right.size() &&
           std::equal(left.begin(), left.end(), right.begin(),
                      [&](char a, char b) { return lower(a) == lower(b); });
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

bool UpstreamTarget::HasHttps() const {
    return std::ranges::any_of(*Servers, [](const auto& server) { return server->IsHttps(); });
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
    UpstreamServerList servers = ReadServers(texts, *Target().Servers);
    const bool valid = !servers.empty();
    if (!valid) {
        servers.push_back(FallbackServer());
    }
    const bool https = std::ranges::any_of(servers, [](const auto& s) { return s->IsHttps(); });
    auto list = std::make_shared<const UpstreamServerList>(std::move(servers));
    {
        const std::lock_guard guard(m_lock);
        m_servers.swap(list);
        m_hasHttps.store(https);
    }
    // The old list goes here, outside the lock, which the proxy's threads take to read the
    // list: a server that leaves with it ends its HTTPS client's threads.
    list.reset();
    return valid;
}

void CUpstreamSettings::SetBootstrapServers(std::span<const std::string> texts) {
    UpstreamServerList servers;
    for (const auto& server : ReadServers(texts, {})) {
        if (!server->IsHttps()) {
            servers.push_back(server);
        }
    }
    auto list = std::make_shared<const UpstreamServerList>(std::move(servers));
    const std::lock_guard guard(m_lock);
    m_bootstrap = std::move(list);
}

std::shared_ptr<CUpstreamServer> CUpstreamSettings::HttpsServerNamed(std::string_view host) const {
    if (!m_hasHttps.load()) {
        return nullptr;
    }
    const std::shared_ptr<const UpstreamServerList> servers = Target().Servers;
    const auto named = std::ranges::find_if(*servers, [&](const auto& server) {
        return server->IsHttps() && EqualIgnoringAsciiCase(server->HttpsHost(), host);
    });
    return named != servers->end() ? *named : nullptr;
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
    return {m_servers, Wait(), m_bootstrap};
}

UpstreamServerList UpstreamTarget::LookupServers() const {
    UpstreamServerList servers;
    std::ranges::copy_if(*Servers, std::back_inserter(servers),
                         [](const auto& server) { return !server->IsHttps(); });
    if (Bootstrap) {
        std::ranges::copy(*Bootstrap, std::back_inserter(servers));
    }
    return servers;
}

UpstreamTarget UpstreamTarget::Alone(std::shared_ptr<CUpstreamServer> server,
                                     std::chrono::milliseconds wait) const {
    return {std::make_shared<const UpstreamServerList>(1, std::move(server)), wait,
            std::make_shared<const UpstreamServerList>(LookupServers())};
}

UpstreamTarget UpstreamTarget::HostLookups() const {
    // The plain servers of the list first, then the bootstrap servers, then the fixed one.
    UpstreamServerList servers = LookupServers();
    servers.push_back(FallbackServer());
    return {std::make_shared<const UpstreamServerList>(std::move(servers)), Wait, nullptr};
}

const IClock& SystemClock() {
    static const CSystemClock clock;
    return clock;
}
