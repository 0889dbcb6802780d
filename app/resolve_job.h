#pragma once

#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/dns_item_map.h"
#include "core/upstream_settings.h"

// Which rows of the cache list a batch run resolves.
enum ResolveMode : int {
    RESOLVE_ALL = 1,         // every row; "Resolve &All" and the scheduled refresh
    RESOLVE_UNRESOLVED = 2,  // rows without addresses
    RESOLVE_SELECTED = 3,    // the selected rows
};

// One row of the cache list as a run sees it.
struct CacheRow {
    std::string domain;
    bool resolved = false;  // its IP cell holds an address
    bool selected = false;
};

// "Finished %d, Success %d, Total %d."
std::string ProgressText(int finished, int success, int total);

// The domains a run in `mode` takes from the rows, top row first.
std::vector<std::string> DomainsToResolve(ResolveMode mode, const std::vector<CacheRow>& rows);

// What one batch run shares between the window's thread and its worker. The domains are taken
// from the list before the worker starts, so the worker never reads the list, and rows added
// during the run are not visited. Its lock guards the progress window and the progress text; no
// one holds it while sending a message.
class ResolveJob {
public:
    // `owner` receives WM_DNSITEM_CHANGED for every entry learned; `upstream` is where the
    // domains are resolved, as it was when the run began.
    ResolveJob(CDnsItemMap& cache, HWND owner, std::vector<std::string> domains,
               UpstreamTarget upstream);
    ResolveJob(const ResolveJob&) = delete;
    ResolveJob& operator=(const ResolveJob&) = delete;

    [[nodiscard]] CDnsItemMap& Cache() const { return m_cache; }
    [[nodiscard]] HWND Owner() const { return m_owner; }
    [[nodiscard]] const std::vector<std::string>& Domains() const { return m_domains; }
    [[nodiscard]] const UpstreamTarget& Upstream() const { return m_upstream; }

    // The progress window has opened: from now on the worker sends to it.
    void AttachWindow(HWND progress);
    // The progress window is closing, or never opened. A cancelled run stops its worker before
    // the next row; whatever the worker still sends goes nowhere.
    void DetachWindow(bool cancelled);
    // Waits until the progress window has opened (its handle) or the run was called off first
    // (null): the worker's first messages must find the window open.
    HWND WaitForWindow();
    // The progress window while it is open, else null.
    [[nodiscard]] HWND Window() const;
    [[nodiscard]] bool Cancelled() const;
    // Closes the progress window as its close box does, if it is open. Posted, never sent: the
    // worker that asks for it is done and has nothing to wait for.
    void CloseWindow();

    void SetProgressText(std::string text);
    [[nodiscard]] std::string GetProgressText() const;

private:
    CDnsItemMap& m_cache;
    const HWND m_owner;
    const std::vector<std::string> m_domains;
    const UpstreamTarget m_upstream;

    mutable std::mutex m_lock;
    std::condition_variable m_windowChanged;
    HWND m_window = nullptr;
    bool m_detached = false;
    bool m_cancelled = false;
    std::string m_progressText;
};

// The worker of a run: once the progress window is open it sets the bar's range, then resolves
// the job's domains one after the other through the upstream servers (the preferred one first),
// learns every answer into the cache (under the domain asked; hits and last hit time stay), tells
// the owner of each entry learned and the window of each row finished, and closes the window when
// done. After a cancel it stops before its next row and learns nothing more. Holds the cache's lock
// only inside Learn and no lock while it sends.
void ResolveThread(ResolveJob& job);

// The main dialog as a batch run needs it.
class IResolveOwner {
public:
    virtual ~IResolveOwner() = default;
    // Owns the progress window and the summary, and receives WM_DNSITEM_CHANGED.
    [[nodiscard]] virtual HWND ResolveOwnerWindow() const = 0;
    [[nodiscard]] virtual CDnsItemMap& Cache() = 0;
    // Where the domains are resolved: the upstream in use.
    [[nodiscard]] virtual UpstreamTarget ResolveTarget() const = 0;
    // The cache list's rows from the top.
    [[nodiscard]] virtual std::vector<CacheRow> ResolveRows() const = 0;
    // The progress window of a run in `mode` opens (true) or has closed (false).
    virtual void OnResolveWindow(bool open, ResolveMode mode) = 0;

protected:
    IResolveOwner() = default;
    IResolveOwner(const IResolveOwner&) = default;
    IResolveOwner& operator=(const IResolveOwner&) = default;
};

struct ResolveOutcome {
    bool cancelled = false;
    // The worker's last progress text.
    std::string progressText;
};

// One batch run on the window's thread, from the rows to the summary: the progress window is
// modal and the worker has ended when this returns. None when the run was refused, silently
// because another run is in progress, or with a message because it had no row to take; no
// thread was started then. The summary is shown unless the run was started by the timer.
std::optional<ResolveOutcome> RunResolve(IResolveOwner& owner, ResolveMode mode, bool byTimer);

// Batch workers that have not ended, in this process.
int ResolveWorkersAlive();
