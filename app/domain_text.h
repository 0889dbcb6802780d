#pragma once

#include <optional>
#include <string>
#include <string_view>

// Domain names as the user sees and types them. The cache keeps a name as it travels on the wire:
// ASCII, with an internationalized label in its "xn--" form. The cache list, its search and the
// item dialog show such a label in Unicode and take a name typed in Unicode in its ASCII form,
// both converted by the system's IDN functions.

// The name as shown: an "xn--" label that converts in its Unicode form, any other label as it is.
// A label whose bytes are not UTF-8 (a name from the wire, or one that an older version wrote in
// the system's code page) shows each byte above 127 as "\DDD", its decimal value, as DNS tools
// write such bytes.
std::string DisplayDomain(std::string_view domain);

// A typed name in the form the cache keeps: a name of ASCII as it was typed (letter case
// included), any other converted whole. None when the conversion refuses it (a label longer than
// 63 bytes once converted, a character that names can't hold).
std::optional<std::string> WireDomain(std::string_view typed);
