#pragma once

#include <string_view>

#include "core/locked_string_list.h"
#include "system/adapter_list.h"

// Where the user's list of upstream servers comes from when the program starts: the "Dns"
// setting and the static DNS servers of the machine's adapters. The box that edits the list is
// the main dialog's (app/server_box.h).

// A server text is valid when TextToAddress takes it for an address. An empty text, which
// TextToAddress reads as 0.0.0.0, names no server: it is the new item whose editor is still
// open, or what a doubled separator leaves.
bool IsValidServer(std::string_view text);

// Appends every adapter's static DNS servers (its "NameServer" under the interfaces key, cut at
// ", |") that `servers` does not hold yet. An adapter without a readable value adds nothing.
void CollectAdapterDns(const CAdapterList& adapters, CLockedStringList& servers);

// The server list as the settings give it: the "Dns" setting (the proxy's own address alone
// stands for the fixed public server, as on a first run) cut at "|", then the adapters' servers
// that it lacks. The proxy's own address never enters, nor an empty text that a doubled or
// leading separator leaves.
void BuildServerList(CLockedStringList& servers, std::string_view dnsSetting,
                     const CLockedStringList& adapterServers);
