#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/locked_string_list.h"
#include "net/socket_address.h"
#include "system/adapter_list.h"

// Where the user's list of upstream servers comes from when the program starts: the "Dns"
// setting and the static DNS servers of the machine's adapters. The box that edits the list is
// the main dialog's (app/server_box.h).

// What keeps a text out of the list.
enum class ServerFault {
    kNone,
    // Not a server text that ParseUpstreamServer takes; an empty text is none either: the new
    // item whose editor is still open, or what a doubled separator leaves.
    kMalformed,
    // Port 53 of this machine (a loopback address, or one of `machine`): the proxy itself, which
    // would ask itself.
    kLoopsToProxy,
};

// Why `text` cannot be a server of the list; `reason` tells why a malformed one is.
ServerFault CheckServer(std::string_view text, std::span<const CSocketAddress> machine,
                        std::string& reason);
inline bool IsValidServer(std::string_view text, std::span<const CSocketAddress> machine) {
    std::string reason;
    return CheckServer(text, machine, reason) == ServerFault::kNone;
}

// Appends every adapter's static DNS servers, IPv4 then IPv6 (the "NameServer" of its interface
// keys, cut at ", |"), that `servers` does not hold yet; a server for which Windows' DNS Client
// knows a DNS-over-HTTPS template goes in that form (EncryptedForm). A key without a readable
// value adds nothing.
void CollectAdapterDns(const CAdapterList& adapters, CLockedStringList& servers);

// The server list as the settings give it: the "Dns" setting (the proxy's own address alone
// stands for the fixed public server, as on a first run) cut at "|", then the adapters' servers
// that it lacks. Only valid servers enter (IsValidServer): adapters that point at the proxy add
// nothing, and a malformed item of the setting is skipped.
void BuildServerList(CLockedStringList& servers, std::string_view dnsSetting,
                     const CLockedStringList& adapterServers,
                     std::span<const CSocketAddress> machine);

// The servers the adapters use (static or from DHCP) as `adapters` holds them, each once, in
// adapter order: taken before the takeover, those that the host names of DNS-over-HTTPS servers
// may also be asked of.
std::vector<std::string> AdapterServersInUse(const CAdapterList& adapters);
