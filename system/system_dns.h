#pragma once

#include <windows.h>

#include <string>
#include <string_view>

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

// Under HKEY_CURRENT_USER: the first-run record, one REG_EXPAND_SZ value per adapter named by the
// adapter name (the servers it used), and "FirstRun" "0" once the record has been taken. Beside
// them, which older copies never read, a subkey per adapter holds a subkey per IP version, named
// after the interface keys it copies ("Tcpip", "Tcpip6"), with the adapter's static "NameServer"
// exactly as it was found, or without one when the adapter had none. A missing subkey: not known.
inline constexpr char kDnsServersKey[] = "Software\\Veltmark\\Quillforth\\DnsServers";
inline constexpr char kFirstRunValue[] = "FirstRun";
inline constexpr char kRecord4Subkey[] = "Tcpip";
inline constexpr char kRecord6Subkey[] = "Tcpip6";

// The longest "NameServer" text written; longer texts are cut.
inline constexpr size_t kMaxNameServerLength = 254;

// Takes every adapter of the list over (points its IPv4 and IPv6 DNS at the proxy) or restores
// them, in list order, flushing the resolver cache after each write. The takeover first reads the
// adapter's static values; the restore writes them back byte for byte, or, after a takeover left
// behind by a crash, those of the first-run record. The adapters' PrimaryDns/OtherDns move with
// it. An adapter whose interface key cannot be written is skipped without a word. Always TRUE.
BOOL SetSystemDns(CAdapterList& adapters, bool takeOver);

// Empties the system's resolver cache: TRUE when dnsapi did so, FALSE when it failed or is
// missing.
BOOL FlushResolverCache();

// Records every adapter's servers in the first-run record, unless a record was taken already:
// 1 when it recorded, 0 otherwise.
int SnapshotAdapterDns(const CAdapterList& adapters);

// The adapter's servers from the first-run record: 1 with `servers` filled when a value exists,
// else 0 and `servers` untouched.
int ReadSavedAdapterDns(const std::string& adapterName, std::string& servers);

// Whether the adapter's static IPv4 or IPv6 DNS is the proxy's address: a copy of the program
// that ended without its restore (a crash, a forced end) leaves its adapters so.
bool PointsAtProxy(const std::string& adapterName);
