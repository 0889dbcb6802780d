#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "system/adapter_list.h"

// The proxy's own address: every adapter points here while the proxy runs.
inline constexpr char kProxyAddress[] = "127.0.0.1";

// Under HKEY_LOCAL_MACHINE: one key per adapter, named by the adapter name, whose "NameServer"
// holds the adapter's static DNS servers, comma-separated.
inline constexpr char kInterfacesKey[] =
    "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces";
inline constexpr char kNameServerValue[] = "NameServer";
// The separators of a server text: it is cut at the first of them that occurs in it, in this
// order (CLockedStringList::SplitUnique), and the others count as ordinary characters.
inline constexpr std::string_view kServerSeparators = ", |";

// Under HKEY_CURRENT_USER: the first-run record, one REG_EXPAND_SZ value per adapter named by the
// adapter name, and "FirstRun" "0" once the record has been taken.
inline constexpr char kDnsServersKey[] = "Software\\Veltmark\\Quillforth\\DnsServers";
inline constexpr char kFirstRunValue[] = "FirstRun";

// The longest "NameServer" text written; longer texts are cut.
inline constexpr size_t kMaxNameServerLength = 254;

// Takes every adapter of the list over (points it at the proxy) or restores its servers, in list
// order, flushing the resolver cache after each write. The adapters' PrimaryDns/OtherDns move
// with it, so that the next restore knows what to write back. An adapter whose interface key
// cannot be written is skipped without a word. Always TRUE.
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
