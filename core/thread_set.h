#pragma once

// The cancellable set of threads that the forward pool and the TCP listener share: it owns the
// threads and the sockets they wait on.

#include <array>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <list>
#include <mutex>
#include <thread>

class CWSocket;

// A set of threads that a stop can cancel: the forward workers and the TCP connections each run
// in one. A thread registers the sockets it blocks on; Stop closes them, which releases any
// receive, accept or connect waiting there, and joins every thread. Threads that have ended are
// joined when the next one starts, so the set never holds more than its cap of live threads.
//
// Its one lock guards the members; it is never held while a thread runs its work or is joined.
class CThreadSet {
public:
    // The sockets one thread may register at once: as many as one wait watches.
    static constexpr std::size_t kMaxWatched = 8;

    // Handed to each thread's work: what it uses to register its sockets and to wait.
    class Member {
    public:
        // Made by the set only (public for the list that holds it).
        explicit Member(CThreadSet& set) : m_set(set) {}

        // Registers a socket that a stop must close to release this thread; false (nothing
        // registered) once a stop has begun, so that the thread gives up before it blocks.
        [[nodiscard]] bool Watch(CWSocket& socket);
        void Unwatch(CWSocket& socket);
        // A stop of the set has begun.
        [[nodiscard]] bool Cancelled() const { return m_set.Stopping(); }

    private:
        friend class CThreadSet;

        CThreadSet& m_set;
        std::thread m_thread;
        // The thread has left its work and only waits to be joined.
        bool m_finished = false;
        // A thread blocks on its client and on the sockets of one upstream exchange at most.
        std::array<CWSocket*, kMaxWatched> m_watched{};
    };

    explicit CThreadSet(int maxThreads) : m_maxThreads(maxThreads) {}
    CThreadSet(const CThreadSet&) = delete;
    CThreadSet& operator=(const CThreadSet&) = delete;
    // Stops the set.
    ~CThreadSet();

    // Runs `work` on a thread of its own; false when the set is stopping, when the cap of live
    // threads is reached or when the system has no thread to give.
    bool Start(std::function<void(Member&)> work);
    // Makes the set refuse new threads, closes every watched socket and joins every thread. The
    // work of each thread must end once its sockets are closed (or it sees Stopping()).
    void Stop();
    // Allows starts again after a Stop.
    void Reset();

    [[nodiscard]] bool Stopping() const;
    // Threads that have not left their work yet.
    [[nodiscard]] int Alive() const;

private:
    void Run(Member& self, const std::function<void(Member&)>& work);
    // Joins the threads that have ended; called with the lock held, they are past their last
    // use of it.
    void JoinFinished();

    const int m_maxThreads;
    mutable std::mutex m_lock;
    // Node addresses stay put: each thread keeps a reference to its own.
    std::list<Member> m_members;
    int m_alive = 0;
    bool m_stopping = false;
};
