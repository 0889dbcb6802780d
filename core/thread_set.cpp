#include "core/thread_set.h"

#include <system_error>
#include <utility>

#include "net/wsocket.h"

namespace {

void ShutdownQuietly(CWSocket& socket) {
    try {
        socket.Shutdown(SocketShutdown::kBoth);
    } catch (const CWSocketException&) {
        // Not connected, or closed already: the close below does the rest.
    }
}

}  // namespace

bool CThreadSet::Member::Watch(CWSocket& socket) {
    const std::lock_guard guard(m_set.m_lock);
    if (m_set.m_stopping) {
        return false;
    }
    for (CWSocket*& slot : m_watched) {
        if (slot == nullptr) {
            slot = &socket;
            return true;
        }
    }
    return false;
}

void CThreadSet::Member::Unwatch(CWSocket& socket) {
    const std::lock_guard guard(m_set.m_lock);
    for (CWSocket*& slot : m_watched) {
        if (slot == &socket) {
            slot = nullptr;
        }
    }
}

CThreadSet::~CThreadSet() {
    Stop();
}

bool CThreadSet::Start(std::function<void(Member&)> work) {
    const std::lock_guard guard(m_lock);
    JoinFinished();
    if (m_stopping || m_alive >= m_maxThreads) {
        return false;
    }
    Member& member = m_members.emplace_back(*this);
    try {
        member.m_thread =
            std::thread([this, &member, work = std::move(work)] { Run(member, work); });
    } catch (const std::system_error&) {
        m_members.pop_back();
        return false;
    }
    ++m_alive;
    return true;
}

void CThreadSet::Run(Member& self, const std::function<void(Member&)>& work) {
    work(self);
    const std::lock_guard guard(m_lock);
    self.m_finished = true;
    --m_alive;
}

void CThreadSet::JoinFinished() {
    for (auto it = m_members.begin(); it != m_members.end();) {
        if (it->m_finished) {
            it->m_thread.join();
            it = m_members.erase(it);
        } else {
            ++it;
        }
    }
}

void CThreadSet::Stop() {
    std::list<Member> members;
    {
        const std::lock_guard guard(m_lock);
        m_stopping = true;
        // Every wait is released first (where a shutdown does it), so that the closes, each of
        // which waits until the calls on its socket have left, do not wake one thread at a time.
        for (Member& member : m_members) {
            for (CWSocket* socket : member.m_watched) {
                if (socket != nullptr) {
                    ShutdownQuietly(*socket);
                }
            }
        }
        for (Member& member : m_members) {
            for (CWSocket* socket : member.m_watched) {
                if (socket != nullptr) {
                    socket->Close();
                }
            }
        }
        // Moves the nodes, which the threads still refer to, without copying them.
        members.splice(members.end(), m_members);
    }
    for (Member& member : members) {
        member.m_thread.join();
    }
}

void CThreadSet::Reset() {
    const std::lock_guard guard(m_lock);
    m_stopping = false;
}

bool CThreadSet::Stopping() const {
    const std::lock_guard guard(m_lock);
    return m_stopping;
}

int CThreadSet::Alive() const {
    const std::lock_guard guard(m_lock);
    return m_alive;
}
