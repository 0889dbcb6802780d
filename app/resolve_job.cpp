#include "app/resolve_job.h"

#include <commctrl.h>
#include <process.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <system_error>
#include <utility>

#include "app/cache_list.h"
#include "app/resolve_progress_dlg.h"
#include "core/dns_cache.h"
#include "res/resource.h"
#include "res/window_messages.h"
#include "win/message_box.h"

namespace {

constexpr char kNoItems[] = "There are no DNS items to resolve.";
constexpr char kNoSelectedItems[] = "There are no selected DNS items to resolve.";
constexpr char kNoUnresolvedItems[] = "There are no unresolved DNS items.";
constexpr char kFinishedSummary[] = "All domain's DNS resolving finished. Results as following:";
constexpr char kCancelledSummary[] =
    "DNS resolving progress terminated by user. Results as following:";

// One run at a time, whoever starts it; used on the window's thread only.
bool g_bResolving = false;
std::atomic<int> g_workersAlive{0};

// Holds g_bResolving for one run.
class CResolvingFlag {
public:
    CResolvingFlag() { g_bResolving = true; }
    CResolvingFlag(const CResolvingFlag&) = delete;
    CResolvingFlag& operator=(const CResolvingFlag&) = delete;
    ~CResolvingFlag() { g_bResolving = false; }
};

const char* NothingToResolve(ResolveMode mode, const std::vector<CacheRow>& rows) {
    if (rows.empty()) {
        return kNoItems;
    }
    return mode == RESOLVE_SELECTED ? kNoSelectedItems : kNoUnresolvedItems;
}

const char* RunCaption(ResolveMode mode, bool byTimer) {
    switch (mode) {
        case RESOLVE_SELECTED:
            return "Resolving selected domains by User";
        case RESOLVE_UNRESOLVED:
            return "Resolving unresolved domains by User";
        case RESOLVE_ALL:
            break;
    }
    return byTimer ? "Resolving all domains by Timer" : "Resolving all domains by User";
}

// Stores the progress and shows it in the window while the window is open.
void Report(ResolveJob& job, int finished, int success) {
    const std::string text =
        ProgressText(finished, success, static_cast<int>(job.Domains().size()));
    job.SetProgressText(text);
    if (HWND window = job.Window()) {
        ::SendMessageA(window, WM_RESOLVE_PROGRESS, reinterpret_cast<WPARAM>(&text), finished);
    }
}

unsigned __stdcall ResolveThreadMain(void* job) {
    try {
        ResolveThread(*static_cast<ResolveJob*>(job));
    } catch (...) {
        // Only memory can run out here (the resolver catches the network's failures): the
        // window stays as it is until the user cancels it.
    }
    --g_workersAlive;
    return 0;
}

// The worker of one run. It is waited for while this thread goes on answering the messages
// that the worker sends to it, so neither waits for the other.
class CResolveWorker {
public:
    explicit CResolveWorker(ResolveJob& job) : m_job(job) {
        ++g_workersAlive;
        const uintptr_t thread = ::_beginthreadex(nullptr, 0, ResolveThreadMain, &job, 0, nullptr);
        if (thread == 0) {
            --g_workersAlive;
            throw std::system_error(errno, std::generic_category(), "batch resolve thread");
        }
        m_hResolveThread = reinterpret_cast<HANDLE>(thread);
    }
    CResolveWorker(const CResolveWorker&) = delete;
    CResolveWorker& operator=(const CResolveWorker&) = delete;
    // A run cut short by an exception still stops its worker before the job goes.
    ~CResolveWorker() {
        if (m_hResolveThread != nullptr) {
            m_job.DetachWindow(true);
            Wait();
        }
    }

    void Wait() {
        if (m_hResolveThread == nullptr) {
            return;
        }
        // A message sent before the wait began may not wake it: the queue is looked at again
        // every so often.
        constexpr DWORD kPollMs = 50;
        for (;;) {
            MSG message{};
            ::PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
            const DWORD woken =
                ::MsgWaitForMultipleObjects(1, &m_hResolveThread, FALSE, kPollMs, QS_SENDMESSAGE);
            if (woken == WAIT_OBJECT_0 || woken == WAIT_FAILED) {
                break;
            }
        }
        ::CloseHandle(m_hResolveThread);
        m_hResolveThread = nullptr;
    }

private:
    ResolveJob& m_job;
    HANDLE m_hResolveThread = nullptr;
};

}  // namespace

std::string ProgressText(int finished, int success, int total) {
    char text[96] = {};
    std::snprintf(text, sizeof text, "Finished %d, Success %d, Total %d.", finished, success,
                  total);
    return text;
}

std::vector<std::string> DomainsToResolve(ResolveMode mode, const std::vector<CacheRow>& rows) {
    std::vector<std::string> domains;
    for (const CacheRow& row : rows) {
        const bool taken = mode == RESOLVE_ALL || (mode == RESOLVE_UNRESOLVED && !row.resolved) ||
                           (mode == RESOLVE_SELECTED && row.selected);
        if (taken) {
            domains.push_back(row.domain);
        }
    }
    return domains;
}

ResolveJob::ResolveJob(CDnsItemMap& cache, HWND owner, std::vector<std::string> domains,
                       UpstreamTarget upstream)
    : m_cache(cache),
      m_owner(owner),
      m_domains(std::move(domains)),
      m_upstream(std::move(upstream)) {}

void ResolveJob::AttachWindow(HWND progress) {
    {
        const std::lock_guard guard(m_lock);
        if (m_detached) {
            return;
        }
        m_window = progress;
    }
    m_windowChanged.notify_all();
}

void ResolveJob::DetachWindow(bool cancelled) {
    {
        const std::lock_guard guard(m_lock);
        m_window = nullptr;
        m_detached = true;
        m_cancelled = m_cancelled || cancelled;
    }
    m_windowChanged.notify_all();
}

HWND ResolveJob::WaitForWindow() {
    std::unique_lock guard(m_lock);
    m_windowChanged.wait(guard, [this] { return m_window != nullptr || m_detached; });
    return m_window;
}

HWND ResolveJob::Window() const {
    const std::lock_guard guard(m_lock);
    return m_window;
}

bool ResolveJob::Cancelled() const {
    const std::lock_guard guard(m_lock);
    return m_cancelled;
}

void ResolveJob::CloseWindow() {
    // Under the lock, so that the close cannot reach a window that has been detached since.
    const std::lock_guard guard(m_lock);
    if (m_window != nullptr) {
        ::PostMessageA(m_window, WM_CLOSE, 0, 0);
    }
}

void ResolveJob::SetProgressText(std::string text) {
    const std::lock_guard guard(m_lock);
    m_progressText = std::move(text);
}

std::string ResolveJob::GetProgressText() const {
    const std::lock_guard guard(m_lock);
    return m_progressText;
}

namespace {

// Whether the entry of the domain knows its IPv6 addresses: a run renews them too.
bool HasIpv6Data(const ResolveJob& job, const std::string& domain) {
    auto lock = job.Cache().Lock();
    const DnsItemPtr entry = job.Cache().Lookup(domain);
    return entry && entry->Ipv6Known;
}

// The answer's IPv4 addresses, and its IPv6 ones when it renewed them; hits and the last hit
// time stay.
DnsItemPtr LearnAnswer(CDnsItemMap& cache, const DnsItem& answer) {
    auto lock = cache.Lock();
    DnsItemPtr item =
        cache.Learn(answer.Domain, answer.Addresses, answer.Ttl, 0, answer.Ipv4Freshness.Expiry);
    if (answer.Ipv6Known) {
        item = cache.LearnIpv6(answer.Domain, answer.Ipv6Addresses.Texts(), answer.Ttl, 0,
                               answer.Ipv6Freshness.Expiry);
    }
    return item;
}

}  // namespace

void ResolveThread(ResolveJob& job) {
    const HWND window = job.WaitForWindow();
    if (window == nullptr) {
        return;  // the window never opened
    }
    ::SendMessageA(::GetDlgItem(window, IDC_PROGRESS_BAR), PBM_SETRANGE32, 0,
                   static_cast<LPARAM>(job.Domains().size()));
    Report(job, 0, 0);
    int finished = 0;
    int success = 0;
    for (const std::string& domain : job.Domains()) {
        if (job.Cancelled()) {
            return;
        }
        DnsItem answer;
        const bool answered =
            CDnsCache::GetHostByName(job.Upstream(), domain, answer, HasIpv6Data(job, domain));
        if (job.Cancelled()) {
            return;  // the user no longer waits for this answer
        }
        if (answered) {
            ++success;
            // Learned under the name asked, as the entry has it.
            if (IsLearnableName(answer.Domain)) {
                const DnsItemPtr item = LearnAnswer(job.Cache(), answer);
                ::SendMessageA(job.Owner(), WM_DNSITEM_CHANGED,
                               reinterpret_cast<WPARAM>(item.get()), 0);
            }
        }
        Report(job, ++finished, success);
    }
    job.CloseWindow();
}

std::optional<ResolveOutcome> RunResolve(IResolveOwner& owner, ResolveMode mode, bool byTimer) {
    if (g_bResolving) {
        return std::nullopt;
    }
    const CResolvingFlag resolving;
    const HWND ownerWindow = owner.ResolveOwnerWindow();
    const std::vector<CacheRow> rows = owner.ResolveRows();
    std::vector<std::string> domains = DomainsToResolve(mode, rows);
    if (domains.empty()) {
        ShowMessage(NothingToResolve(mode, rows), MB_OK, ownerWindow);
        return std::nullopt;
    }

    ResolveJob job(owner.Cache(), ownerWindow, std::move(domains), owner.ResolveTarget());
    CResolveWorker worker(job);
    owner.OnResolveWindow(true, mode);
    CResolveProgressDlg window(ownerWindow, job, RunCaption(mode, byTimer));
    const bool cancelled = window.DoModal() != IDOK;
    job.DetachWindow(cancelled);
    owner.OnResolveWindow(false, mode);

    if (!byTimer) {
        ShowMessage((cancelled ? kCancelledSummary : kFinishedSummary) + job.GetProgressText(),
                    MB_OK, ownerWindow);
    }
    // A cancelled worker may still be waiting for its current answer: at most one upstream
    // wait. Everything it learned is in the cache once it has ended.
    worker.Wait();
    return ResolveOutcome{cancelled, job.GetProgressText()};
}

int ResolveWorkersAlive() {
    return g_workersAlive.load();
}
