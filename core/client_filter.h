#pragma once

// The proxy's client filter: it owns the rules for who may ask and the thread that keeps the
// machine's attached networks current.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "net/socket_address.h"

// Who may ask the proxy: clients on a loopback address and on the networks directly attached to
// one of the machine's own interfaces, so that the machines of the user's own network can use it
// but a stranger on a café's or hotel's network cannot use the laptop as an open resolver, nor
// read from its cache which sites its user visits. Everyone when the owner allows any client.
//
// The attached networks are read at start and every refresh period after on a thread of the
// filter's own, never by a serving thread, which takes the current set once per batch of
// datagrams. Its one lock guards the current set and the stop flag.
class CClientFilter {
public:
    using NetworkSource = std::function<std::vector<NetworkPrefix>()>;
    static constexpr std::chrono::seconds kRefreshPeriod{60};

    // What a serving thread checks its clients against.
    struct Rules {
        bool AllowAny = false;
        std::vector<NetworkPrefix> Networks;
        [[nodiscard]] bool Allows(const CSocketAddress& client) const;
    };

    CClientFilter(bool allowAny, NetworkSource source,
                  std::chrono::milliseconds refreshPeriod = kRefreshPeriod)
        : m_source(std::move(source)),
          m_refreshPeriod(refreshPeriod),
          m_rules(std::make_shared<Rules>(Rules{allowAny, {}})) {}
    CClientFilter(const CClientFilter&) = delete;
    CClientFilter& operator=(const CClientFilter&) = delete;
    ~CClientFilter() { Stop(); }

    // Reads the networks now, then starts the refreshing thread.
    void Start();
    void Stop();

    [[nodiscard]] std::shared_ptr<const Rules> Current() const;

private:
    void Refresh();
    void RefreshLoop();

    const NetworkSource m_source;
    const std::chrono::milliseconds m_refreshPeriod;
    mutable std::mutex m_lock;
    std::condition_variable m_wake;
    std::shared_ptr<const Rules> m_rules;
    bool m_stopping = false;
    std::thread m_thread;
};
