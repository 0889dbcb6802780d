#pragma once

// The proxy's watch on its upstream servers: it owns a thread that asks the silent ones, now and
// then, whether they answer again, and keeps the hosts of DNS-over-HTTPS servers found.

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "core/dns_query_handler.h"
#include "core/thread_set.h"
#include "core/upstream_settings.h"

// Every period, asks each silent server of the list alone for the probe's host name; one that
// answers is no longer silent, so that queries go to it again first when it comes earlier in
// the list. Queries themselves never wait for a silent server first, so without this watch a
// server that came back would stay passed over.
//
// At start and every period it also finds where each DNS-over-HTTPS server's host is when its
// text does not say: from the cache (what an earlier run learned, known before the network is
// up), else asked of the servers host names may be asked of, and asked of them again while the
// server is silent; what is found is learned into the cache like any name.
//
// Its one lock guards the stop flag; the probes run in a thread set of their own, which a stop
// cancels.
class CUpstreamWatch {
public:
    static constexpr std::chrono::milliseconds kDefaultPeriod{5000};
    static constexpr std::chrono::milliseconds kProbeWait{2000};

    CUpstreamWatch(const CUpstreamSettings& upstream, CDnsQueryHandler& handler,
                   std::chrono::milliseconds period)
        : m_upstream(upstream), m_handler(handler), m_period(period) {}
    CUpstreamWatch(const CUpstreamWatch&) = delete;
    CUpstreamWatch& operator=(const CUpstreamWatch&) = delete;
    ~CUpstreamWatch() { Stop(); }

    void Start();
    // Ends the thread, cancelling a probe under way.
    void Stop();

private:
    void Run(CThreadSet::Member& self);
    void ProbeSilentServers(CThreadSet::Member& self);
    void KeepHttpsHostsFound(CThreadSet::Member& self);

    const CUpstreamSettings& m_upstream;
    CDnsQueryHandler& m_handler;
    const std::chrono::milliseconds m_period;
    std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_stopping = false;
    CThreadSet m_thread{1};
};
