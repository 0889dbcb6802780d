#pragma once

#include <string>

#include "core/dns_item_map.h"

// How the proxy tells its owner what happened. The calls come from the proxy's one notification
// thread (except the report of a failed start, below), never from a thread that serves queries,
// and with no lock of the proxy or the cache held: the owner may block in them (the Windows
// program sends a window message to its own thread) and may take any lock.
class IDnsProxyObserver {
public:
    virtual ~IDnsProxyObserver() = default;

    // An entry was just answered from or learned into. Changes of one entry that come while an
    // earlier one is still waiting to be told are told once.
    virtual void OnDnsItemChanged(const DnsItemPtr& item) = 0;

    // The proxy cannot serve: the text to show, "CDnsSocket::RunDnsServer - Error:%d Cause:
    // %s\n" with the error number and the system's text for it. A failed start is reported by
    // RunDnsServer itself, on the caller's thread, before it returns false.
    virtual void OnServerError(const std::string& message) = 0;

protected:
    IDnsProxyObserver() = default;
    IDnsProxyObserver(const IDnsProxyObserver&) = default;
    IDnsProxyObserver& operator=(const IDnsProxyObserver&) = default;
};
