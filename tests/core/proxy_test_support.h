#pragma once

// A proxy on a loopback port in front of a fake upstream, UDP and TCP clients, and an observer
// that records what it is told and on which thread.

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/dns_socket.h"
#include "tests/support/fake_upstream.h"
#include "tests/support/test_environment.h"

namespace qftest {

using std::chrono::milliseconds;
using Texts = std::vector<std::string>;
inline constexpr milliseconds kPatience{5000};
// An expiry far beyond the tests' clock: the entry is answered as fresh.
inline constexpr std::uint32_t kFresh = 4'000'000'000;

// Polls the proxy's own state, which has nothing to wait on.
template <typename Condition>
bool WaitUntil(Condition condition, milliseconds limit = kPatience) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(1));
    }
    return true;
}

// The threads of this process, where the system tells; -1 elsewhere.
inline int ProcessThreads() {
#ifdef __linux__
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("Threads:", 0) == 0) {
            return std::stoi(line.substr(8));
        }
    }
#endif
    return -1;
}

class Client {
public:
    Client() {
        m_socket.Create(true);
        m_socket.Bind(0, kLoopback);
    }
    void Send(const Bytes& data, std::uint16_t port) {
        ASSERT_EQ(m_socket.SendTo(data.data(), data.size(), port, kLoopback), data.size());
    }
    // The next datagram, or none within `limit`.
    std::optional<Bytes> Receive(milliseconds limit = kPatience) {
        Bytes buffer(65536);
        std::string from;
        std::uint16_t port = 0;
        m_socket.SetReceiveTimeout(static_cast<std::uint32_t>(limit.count()));
        try {
            buffer.resize(m_socket.ReceiveFrom(buffer.data(), buffer.size(), from, port));
        } catch (const CWSocketException& e) {
            EXPECT_EQ(e.GetError(), socket_error::kTimedOut);
            return std::nullopt;
        }
        return buffer;
    }

private:
    CWSocket m_socket;
};

class TcpClient {
public:
    explicit TcpClient(std::uint16_t port) {
        m_socket.Create(false);
        m_socket.Connect(port, kLoopback, static_cast<std::uint32_t>(kPatience.count()));
    }
    void SendRaw(const Bytes& data) {
        ASSERT_EQ(m_socket.Send(data.data(), data.size()), data.size());
    }
    void Send(const Bytes& message) { SendRaw(Framed(message)); }

    // The next whole message without its prefix, or none when the connection ends or nothing
    // whole arrives within `limit`.
    std::optional<Bytes> Receive(milliseconds limit = kPatience) {
        m_socket.SetReceiveTimeout(static_cast<std::uint32_t>(limit.count()));
        return ReceiveFramed(m_socket);
    }

    // True when the proxy closes the connection within `limit`, with nothing sent before.
    bool WaitClosed(milliseconds limit = kPatience) {
        m_socket.SetReceiveTimeout(static_cast<std::uint32_t>(limit.count()));
        std::uint8_t byte = 0;
        try {
            return m_socket.Receive(&byte, 1) == 0;
        } catch (const CWSocketException& e) {
            return e.GetError() != socket_error::kTimedOut;  // a reset: closed with data unread
        }
    }

private:
    CWSocket m_socket;
};

class RecordingObserver : public IDnsProxyObserver {
public:
    void OnCacheChanged() override {
        const std::lock_guard guard(m_lock);
        m_threads.push_back(std::this_thread::get_id());
        m_changed.notify_all();
    }
    void OnServerError(const std::string& message) override {
        const std::lock_guard guard(m_lock);
        m_errors.push_back(message);
    }
    bool WaitForCalls(std::size_t count) {
        std::unique_lock lock(m_lock);
        return m_changed.wait_for(lock, kPatience, [&] { return m_threads.size() >= count; });
    }
    Texts Errors() { return Locked(m_errors); }
    // The threads that told of a change, one per call.
    std::vector<std::thread::id> Threads() { return Locked(m_threads); }

private:
    template <typename T>
    T Locked(const T& value) {
        const std::lock_guard guard(m_lock);
        return value;
    }

    std::mutex m_lock;
    std::condition_variable m_changed;
    Texts m_errors;
    std::vector<std::thread::id> m_threads;
};

// The message with the id of `other`: what the proxy makes of a reply for the client that asked.
inline Bytes WithIdOf(Bytes message, const Bytes& other) {
    std::copy_n(other.begin(), 2, message.begin());
    return message;
}

inline Texts NumberedAddresses(int count) {
    Texts addresses;
    for (int i = 0; i < count; ++i) {
        addresses.push_back("198.18." + std::to_string(i / 200) + "." +
                            std::to_string(i % 200 + 1));
    }
    return addresses;
}

struct Addresses : CLockedStringList {
    Addresses(std::initializer_list<const char*> texts) {
        for (const char* text : texts) {
            AddTail(text);
        }
    }
};

// A proxy on a loopback port whose upstream is the fake, and a UDP client; Start() runs it.
class ProxyTest : public ::testing::Test {
protected:
    void SetUp() override { PointUpstreamAt(settings, {upstream.Port()}); }

    void Start(ProxyOptions limits = {}) {
        proxy = std::make_unique<CDnsSocket>(&cache, settings, &observer, limits, clock);
        ASSERT_TRUE(proxy->RunDnsServer(0, kLoopback));
        port = proxy->ListeningPort();
        ASSERT_NE(port, 0);
    }

    std::string Counters() const {
        const DnsStatisticsSnapshot s = proxy->Statistics().Snapshot();
        return "total " + std::to_string(s.TotalRequests) + " cached " +
               std::to_string(s.CachedRequests) + " discarded " +
               std::to_string(s.DiscardRequests) + " forwards " +
               std::to_string(s.ForwardAttempts) + "/" + std::to_string(s.ForwardRequests) +
               " errors " + std::to_string(s.InternalErrorRequests);
    }
    // A request is counted just after its reply has gone out, a failed one after the wait.
    void ExpectCounters(const std::string& expected) {
        WaitUntil([&] { return Counters() == expected; });
        EXPECT_EQ(Counters(), expected);
    }

    // Read under the cache's lock; -1 hits when not cached.
    int HitsOf(std::string_view domain) {
        auto lock = cache.Lock();
        const DnsItemPtr item = cache.Lookup(domain);
        return item ? item->Hits : -1;
    }
    bool HitsReach(std::string_view domain, int hits) {
        return WaitUntil([&] { return HitsOf(domain) >= hits; }) && HitsOf(domain) == hits;
    }
    bool InFlightEmpties() {
        return WaitUntil([&] { return proxy->InFlightCount() == 0; });
    }

    FakeUpstream upstream;
    CSinkUpstream settings;
    // The proxy's time, set by the test: every request is received at its second.
    struct CFixedClock : IClock {
        std::atomic<std::time_t> now{1'700'000'000};
        [[nodiscard]] std::time_t Now() const override { return now.load(); }
    } clock;
    CDnsItemMap cache;
    RecordingObserver observer;
    std::unique_ptr<CDnsSocket> proxy;
    std::uint16_t port = 0;
    Client client;
};

}  // namespace qftest
