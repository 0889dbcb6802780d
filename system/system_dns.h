#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "system/adapter_list.h"

// The proxy's own addresses: every adapter's IPv4 and IPv6 DNS points here while the proxy runs.
inline constexpr char kProxyAddress[] = "127.0.0.1";
inline constexpr char kProxyAddress6[] = "::1";

// Under HKEY_LOCAL_MACHINE: one key per adapter, named by the adapter name, whose "NameServer"
// holds the adapter's static DNS servers, comma-separated; none or an empty one when the adapter
// takes its servers from DHCP. The IPv6 keys are alike; an adapter without IPv6 has none.
inline constexpr char kInterfacesKey[] =
    "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces";
inline constexpr char kInterfaces6Key[] =
    "SYSTEM\\CurrentControlSet\\Services\\Tcpip6\\Parameters\\Interfaces";
inline constexpr char kNameServerValue[] = "NameServer";
// The separators of a server text: it is cut at the first of them that occurs in it, in this
// order (CLockedStringList::SplitUnique), and the others count as ordinary characters.
inline constexpr std::string_view kServerSeparators = ", |";

// Under HKEY_LOCAL_MACHINE, beside the program's other machine-wide state, so that any
// administrator's copy and the uninstaller find it: the record of the takeover in effect. A
// subkey per adapter that a takeover changed holds a subkey per IP version, named after the
// interface keys it copies ("Tcpip", "Tcpip6"), with the adapter's static "NameServer" exactly
// as the takeover found it, or without one when the adapter had none. It is written just before
// the adapter is changed and deleted once the adapter no longer points at the proxy: an adapter
// that points at the proxy and has a record is one that a copy which did not stop left behind.
inline constexpr char kMachineRecordKey[] = "SOFTWARE\\Veltmark\\Quillforth\\DnsServers";
inline constexpr char kRecord4Subkey[] = "Tcpip";
inline constexpr char kRecord6Subkey[] = "Tcpip6";
// Under HKEY_CURRENT_USER: the record that older versions took at the user's first run, read only
// for an adapter that points at the proxy without a record of the machine's. One REG_EXPAND_SZ
// value per adapter named by the adapter name holds the servers it used; the latest of them also
// left a subkey per adapter laid out as the machine's record.
inline constexpr char kDnsServersKey[] = "Software\\Veltmark\\Quillforth\\DnsServers";

// The longest "NameServer" text written; longer texts are cut.
inline constexpr size_t kMaxNameServerLength = 254;

// Takes every adapter of the list over or restores them, in list order, flushing the resolver
// cache after each write; returns how many adapters it changed, so that the caller tells Windows
// (RefreshDnsClient) only when something changed.
//
// The takeover records an adapter's IPv4 and IPv6 static values (kMachineRecordKey), then points
// them at the proxy. It leaves an adapter exactly as it is when a value of it names a loopback
// address (another resolver of the user's, or the proxy after a takeover that was never undone),
// when its IPv4 interface key cannot be read, or when the record cannot be written.
//
// The restore gives each adapter that points at the proxy its own values back, byte for byte:
// those this run's takeover found, else those of the machine's record (a copy that did not stop
// left it so), else those of an older version's record; without any of them it stays as it is.
// Only a value that still names the proxy is written: one changed since is the user's. A record
// goes once its adapter no longer points at the proxy.
// An adapter unplugged or disabled meanwhile (a dock's, a USB one) is not listed, but keeps its
// interface keys, which would still name the proxy when it comes back, after the program or its
// uninstaller has ended: the restore puts back every adapter of the machine's record too.
int SetSystemDns(CAdapterList& adapters, bool takeOver);
// The adapters in the machine's record that the list does not hold.
std::vector<std::string> RecordedAdaptersNotListed(const CAdapterList& adapters);

// Empties the system's resolver cache: TRUE when dnsapi did so, FALSE when it failed or is
// missing.
BOOL FlushResolverCache();

// The adapter's servers from an older version's record: 1 with `servers` filled when a value
// exists, else 0 and `servers` untouched.
int ReadSavedAdapterDns(const std::string& adapterName, std::string& servers);

// Whether the adapter's static IPv4 or IPv6 DNS is the proxy's address.
bool PointsAtProxy(const std::string& adapterName);

// A file of the system folder by its full path (the program runs elevated: a program or library
// is never looked for on the search path); none when the folder is not known.
std::optional<std::string> SystemFilePath(std::string_view file);

// The status line about the adapters while the proxy runs: one up and running that does not
// point at the proxy (it came after the takeover, or its interface key could not be written),
// else one that the takeover left as it was because it named a loopback address; each with the
// number of further such adapters. Empty when every running adapter points at the proxy.
std::string AdapterNotice(const CAdapterList& adapters);
