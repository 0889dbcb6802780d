#pragma once

#include <string>

// How the proxy tells its owner what happened. The calls come from the proxy's serving threads
// (or the caller of RunDnsServer), with no lock of the proxy or the cache held; they must return
// at once and must not call back into the proxy: the program posts a window message and does the
// work on its own thread.
class IDnsProxyObserver {
public:
    virtual ~IDnsProxyObserver() = default;

    // Entries were answered from or learned into and wait in the proxy's batch
    // (CDnsSocket::TakeChanges). Called when the batch goes from empty to non-empty; until the
    // owner takes it, further changes join it without another call.
    virtual void OnCacheChanged() = 0;

    // The proxy cannot serve: the text to show, "CDnsSocket::RunDnsServer - Error:%d Cause:
    // %s\n" with the error number and the system's text for it. A failed start is reported on
    // the caller's thread before RunDnsServer returns false.
    virtual void OnServerError(const std::string& message) = 0;

protected:
    IDnsProxyObserver() = default;
    IDnsProxyObserver(const IDnsProxyObserver&) = default;
    IDnsProxyObserver& operator=(const IDnsProxyObserver&) = default;
};
