#pragma once

// Where upstream queries go (the ordered list of servers, each with its state) and how long they
// wait, and the clock the proxy reads: one object each, owned by the program and handed to
// whoever needs them.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/upstream_server.h"

// The fixed public DNS server: the upstream in use at start and whenever the user's list holds
// no valid server.
inline constexpr std::string_view kFallbackDnsServer = "1.1.1.1";
// How long a forwarded query or a single resolve waits for its reply, from its first send.
inline constexpr std::chrono::milliseconds kDefaultUpstreamWait{3000};
// The well-known host name that a probe of a server asks for.
inline constexpr char kProbeHostName[] = "www.example.com";

using UpstreamServerList = std::vector<std::shared_ptr<CUpstreamServer>>;

// The servers and the wait as they were when a query began: what a thread that outlives the
// moment it was started takes with it. The servers' states are shared with the list, so what
// the thread learns of them counts for every later query.
struct UpstreamTarget {
    // Never empty.
    std::shared_ptr<const UpstreamServerList> Servers;
    std::chrono::milliseconds Wait = kDefaultUpstreamWait;
    // Plain servers that may be asked where a DNS-over-HTTPS server's host is, behind the plain
    // servers of the list (the servers the adapters had before the takeover); may be none.
    std::shared_ptr<const UpstreamServerList> Bootstrap;

    // Where a DNS-over-HTTPS server's host name is asked: the plain servers of the list, then
    // the bootstrap servers, then the fixed public server; never a DNS-over-HTTPS server, so
    // that finding a server never goes through the server itself.
    [[nodiscard]] UpstreamTarget HostLookups() const;
    // The plain servers of the list, then the bootstrap servers.
    [[nodiscard]] UpstreamServerList LookupServers() const;
    // The one server of this target (its host found as this target's would be), with `wait`.
    [[nodiscard]] UpstreamTarget Alone(std::shared_ptr<CUpstreamServer> server,
                                       std::chrono::milliseconds wait) const;

    // The order in which a query tries the servers: those not silent in list order, then the
    // silent ones in list order (so that with every server silent the first comes first).
    [[nodiscard]] UpstreamServerList PreferenceOrder() const;
    // The server a query goes to first.
    [[nodiscard]] std::shared_ptr<CUpstreamServer> Preferred() const;
    // Whether a server of the list is a DNS-over-HTTPS server.
    [[nodiscard]] bool HasHttps() const;
};

// The ordered list of upstream servers and the wait: one object, owned by the program (or the
// daemon, or a test) and handed to the proxy, the resolver and the probe. The window's thread
// replaces the list while the proxy's threads read it, so every reader takes the list as it is
// at that moment (a shared, unchanging vector of servers) under the object's lock.
class CUpstreamSettings {
public:
    CUpstreamSettings();
    CUpstreamSettings(const CUpstreamSettings&) = delete;
    CUpstreamSettings& operator=(const CUpstreamSettings&) = delete;

    // Keeps the texts that ParseUpstreamServer takes, in order and each address once, and never
    // a loopback address on port 53 (the proxy itself); a server that stays in the list keeps
    // its state. With none valid the list is the fixed public server. True when one was valid;
    // an empty list changes nothing and gives false.
    bool SetServers(std::span<const std::string> texts);
    [[nodiscard]] std::vector<std::string> ServerTexts() const;
    // The plain servers that the host names of DNS-over-HTTPS servers may also be asked of (the
    // adapters' servers before the takeover).
    void SetBootstrapServers(std::span<const std::string> texts);
    // The DNS-over-HTTPS server of the list whose host has this name (in any letter case); none
    // when there is none. Cheap while the list holds no such server.
    [[nodiscard]] std::shared_ptr<CUpstreamServer> HttpsServerNamed(std::string_view host) const;

    // The text of the server queries go to first.
    [[nodiscard]] std::string CurrentDnsServer() const;

    // How long an upstream query waits for its reply, from its first send.
    [[nodiscard]] std::chrono::milliseconds Wait() const {
        return std::chrono::milliseconds(m_waitMs.load());
    }
    void SetWait(std::chrono::milliseconds wait) { m_waitMs.store(wait.count()); }

    // The list and the wait as they are now.
    [[nodiscard]] UpstreamTarget Target() const;
    // Where a query goes: the list, or for a host lookup (a DNS-over-HTTPS server's own name)
    // only the servers host names may be asked of.
    [[nodiscard]] UpstreamTarget TargetFor(bool hostLookup) const {
        return hostLookup ? Target().HostLookups() : Target();
    }

private:
    mutable std::mutex m_lock;
    std::shared_ptr<const UpstreamServerList> m_servers;
    std::shared_ptr<const UpstreamServerList> m_bootstrap;
    std::atomic<bool> m_hasHttps{false};
    std::atomic<std::chrono::milliseconds::rep> m_waitMs{kDefaultUpstreamWait.count()};
};

// How many servers of the target are not silent.
int AnsweringServers(const UpstreamTarget& target);

// The wall clock in whole seconds since 1970, as hit times are kept, and the monotonic clock that
// times requests. The proxy reads them through this interface so that tests can set the time
// instead of waiting for it.
class IClock {
public:
    virtual ~IClock() = default;
    [[nodiscard]] virtual std::time_t Now() const = 0;
    [[nodiscard]] virtual std::chrono::steady_clock::time_point Steady() const {
        return std::chrono::steady_clock::now();
    }

protected:
    IClock() = default;
    IClock(const IClock&) = default;
    IClock& operator=(const IClock&) = default;
};

// The seconds since 1970 that time(nullptr) gives.
const IClock& SystemClock();
