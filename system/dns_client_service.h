#pragma once

#include <windows.h>

#include <functional>
#include <string_view>

// The system's DNS client: it answers lookups from its own cache and would bypass the proxy, so
// it is stopped while the proxy runs.
inline constexpr char kDnsClientServiceName[] = "Dnscache";

// The state reported when the service's status cannot be queried; the others are the service
// control manager's own (SERVICE_STOPPED 1 ... SERVICE_PAUSED 7).
inline constexpr DWORD kServiceStateUnknown = 9;

inline constexpr char kCannotStartDnsClientMessage[] =
    "Can't start DNS Client service, you must start it by hand, otherwise you may not access the "
    "Internet.";
inline constexpr char kCannotStopDnsClientMessage[] =
    "Can't stop DNS Client service, you must stop it by hand, otherwise Quillforth will not work.";

// Shows a text to the user (a message box with an OK button in the program).
using ShowUserMessage = std::function<void(std::string_view text)>;

// Starts (start true) a stopped or paused DNS client, or stops a running one, without waiting
// for it to get there. `state`, when given, receives the state found before (kServiceStateUnknown
// when the query failed); the caller keeps it to decide at the next stop whether to start the
// service again. Returns 1 on success and when there is nothing to do (no such service, or it is
// already where it should be), 0 when the service control manager cannot be reached, when the
// service is in a pending or unknown state, and when the start or stop failed; the last tells the
// user through `showMessage`. A service that takes no stop control at all (the DNS client since
// Windows 10) is left running without a word, with 1: the proxy works behind it.
int ControlDnsClientService(bool start, DWORD* state = nullptr,
                            const ShowUserMessage& showMessage = {});

// Whether the DNS client runs now; false also when there is no such service or it cannot be
// asked.
bool DnsClientRunning();
