#pragma once

// Where upstream queries go (server, port, wait) and the clock the proxy reads: one object each,
// owned by the program and handed to whoever needs them.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>

// The fixed public DNS server: the upstream in use at start and whenever the user's list holds
// no valid address.
inline constexpr std::string_view kFallbackDnsServer = "1.1.1.1";
// The port of every upstream server; the program never uses another.
inline constexpr std::uint16_t kDefaultDnsServerPort = 53;
// How long a forwarded query or a single resolve waits for its reply.
inline constexpr std::chrono::milliseconds kDefaultUpstreamWait{3000};

// One upstream query's server, port and wait, copied out of the settings: what a thread that
// outlives the moment it was started takes with it.
struct UpstreamTarget {
    std::string Server{kFallbackDnsServer};
    std::uint16_t Port = kDefaultDnsServerPort;
    std::chrono::milliseconds Wait = kDefaultUpstreamWait;
};

// Where upstream queries go and how long they wait: one object, owned by the program (or the
// daemon, or a test) and handed to the proxy, the resolver and the probe. The window's thread
// replaces the server while the proxy's threads read it, so every reader gets a copy taken
// under the object's lock.
class CUpstreamSettings {
public:
    CUpstreamSettings() = default;
    CUpstreamSettings(const CUpstreamSettings&) = delete;
    CUpstreamSettings& operator=(const CUpstreamSettings&) = delete;

    // The server in use, a dotted quad.
    [[nodiscard]] std::string CurrentDnsServer() const;
    void SetCurrentDnsServer(std::string_view server);

    // 53 unless the daemon or a test sets another.
    [[nodiscard]] std::uint16_t DnsServerPort() const { return m_port.load(); }
    void SetDnsServerPort(std::uint16_t port) { m_port.store(port); }

    // How long an upstream query waits for its reply, from its send.
    [[nodiscard]] std::chrono::milliseconds Wait() const {
        return std::chrono::milliseconds(m_waitMs.load());
    }
    void SetWait(std::chrono::milliseconds wait) { m_waitMs.store(wait.count()); }

    // The current server, port and wait.
    [[nodiscard]] UpstreamTarget Target() const;

private:
    mutable std::mutex m_lock;
    std::string m_server{kFallbackDnsServer};
    std::atomic<std::uint16_t> m_port{kDefaultDnsServerPort};
    std::atomic<std::chrono::milliseconds::rep> m_waitMs{kDefaultUpstreamWait.count()};
};

// The wall clock in whole seconds since 1970, as request and hit times are kept. The proxy reads
// it through this interface so that tests can set the time instead of waiting for it.
class IClock {
public:
    virtual ~IClock() = default;
    [[nodiscard]] virtual std::time_t Now() const = 0;

protected:
    IClock() = default;
    IClock(const IClock&) = default;
    IClock& operator=(const IClock&) = default;
};

// The seconds since 1970 that time(nullptr) gives.
const IClock& SystemClock();
