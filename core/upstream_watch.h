#pragma once

// The proxy's watch on silent upstream servers: it owns a thread that asks them, now and then,
// whether they answer again.

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "core/thread_set.h"
#include "core/upstream_settings.h"

// Every period, asks each silent server of the list alone for the probe's host name; one that
// answers is no longer silent, so that queries go to it again first when it comes earlier in
// the list. Queries themselves never wait for a silent server first, so without this watch a
// server that came back would stay passed over.
//
// Its one lock guards the stop flag; the probes run in a thread set of their own, which a stop
// cancels.
class CUpstreamWatch {
public:
    static constexpr std::chrono::milliseconds kDefaultPeriod{5000};
    static constexpr std::chrono::milliseconds kProbeWait{2000};

    CUpstreamWatch(const CUpstreamSettings& upstream, std::chrono::milliseconds period)
        : m_upstream(upstream), m_period(period) {}
    CUpstreamWatch(const CUpstreamWatch&) = delete;
    CUpstreamWatch& operator=(const CUpstreamWatch&) = delete;
    ~CUpstreamWatch() { Stop(); }

    void Start();
    // Ends the thread, cancelling a probe under way.
    void Stop();

private:
    void Run(CThreadSet::Member& self);
    void ProbeSilentServers(CThreadSet::Member& self);

    const CUpstreamSettings& m_upstream;
    const std::chrono::milliseconds m_period;
    std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_stopping = false;
    CThreadSet m_thread{1};
};
