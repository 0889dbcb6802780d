#pragma once

#include <string>
#include <string_view>

// Windows' own encrypted DNS servers, read and never written: the DNS-over-HTTPS templates that
// the DNS Client keeps for server addresses. Under HKEY_LOCAL_MACHINE, one key per address in
// the well-known list ("netsh dns show encryption" lists it), with its URL in "Template"; and,
// per adapter, the templates its encryption settings give its own servers, IPv4 under "Doh" and
// IPv6 under "Doh6", in "DohTemplate".
inline constexpr char kDohWellKnownKey[] =
    "SYSTEM\\CurrentControlSet\\Services\\Dnscache\\Parameters\\DohWellKnownServers";
inline constexpr char kDohTemplateValue[] = "Template";
inline constexpr char kDohInterfacesKey[] =
    "SYSTEM\\CurrentControlSet\\Services\\Dnscache\\InterfaceSpecificParameters";
inline constexpr char kDohInterfaceSettings[] = "DohInterfaceSettings";
inline constexpr char kDohInterfaceTemplateValue[] = "DohTemplate";

// An adapter's server as the list takes it: when the DNS Client has a template for its address
// (the adapter's own before the well-known list's), the template's URL with the address in
// parentheses, "https://dns.example/dns-query (192.0.2.1)", so that a takeover never brings back
// to clear text what Windows could send encrypted; else `server` unchanged. A template that is
// no https:// URL the list takes counts for nothing.
std::string EncryptedForm(std::string_view adapterName, const std::string& server);
