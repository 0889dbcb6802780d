#pragma once

// The proxy's client filter: it owns the rules for who may ask and the thread that keeps the
// machine's addresses current.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "net/attached_networks.h"
#include "net/socket_address.h"

// Who the proxy answers.
enum class ClientScope {
    // The machine itself: loopback and the machine's own addresses. On a café's or hotel's
    // network nobody else can read from the answer times which names the cache holds.
    kMachine,
    // Also the machines of the networks that the machine's interfaces are attached to: a home or
    // office that shares one proxy.
    kLocalNetwork,
    // Every client.
    kAnyone,
};

// Who may ask the proxy, by its scope. The machine's addresses are read at start and every
// refresh period after on a thread of the filter's own, never by a serving thread, which takes
// the current rules once per batch of datagrams. Its one lock guards the addresses, the rules and
// the stop flag.
class CClientFilter {
public:
    using AddressSource = std::function<std::vector<InterfaceAddress>()>;
    static constexpr std::chrono::seconds kRefreshPeriod{60};

    // What a serving thread checks its clients against.
    struct Rules {
        bool AllowAny = false;
        // The machine's own addresses (as whole-length prefixes), or its attached networks.
        std::vector<NetworkPrefix> Networks;
        [[nodiscard]] bool Allows(const CSocketAddress& client) const;
    };

    CClientFilter(ClientScope scope, AddressSource source,
                  std::chrono::milliseconds refreshPeriod = kRefreshPeriod)
        : m_source(std::move(source)), m_refreshPeriod(refreshPeriod), m_scope(scope) {
        m_rules = MakeRules(scope, {});
    }
    CClientFilter(const CClientFilter&) = delete;
    CClientFilter& operator=(const CClientFilter&) = delete;
    ~CClientFilter() { Stop(); }

    // Reads the addresses now, then starts the refreshing thread.
    void Start();
    void Stop();
    // Applies to the next batch of every serving thread; running or not.
    void SetScope(ClientScope scope);

    [[nodiscard]] std::shared_ptr<const Rules> Current() const;

private:
    static std::shared_ptr<const Rules> MakeRules(ClientScope scope,
                                                  const std::vector<InterfaceAddress>& addresses);
    void Refresh();
    void RefreshLoop();

    const AddressSource m_source;
    const std::chrono::milliseconds m_refreshPeriod;
    mutable std::mutex m_lock;
    std::condition_variable m_wake;
    ClientScope m_scope;
    std::vector<InterfaceAddress> m_addresses;
    std::shared_ptr<const Rules> m_rules;
    bool m_stopping = false;
    std::thread m_thread;
};
