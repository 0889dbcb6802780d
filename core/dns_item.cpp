#include "core/dns_item.h"

#include <algorithm>
#include <array>
#include <limits>

void DnsItem::Clear() {
    Id = 0;
    Domain.clear();
    Addresses.RemoveAll();
    Ipv6Addresses.RemoveAll();
    Ipv6Known = false;
    Ttl = 0;
    Hits = 0;
    LastHitDate = 0;
    Ipv4Freshness = {};
    Ipv6Freshness = {};
}

std::uint32_t EntryTime(std::int64_t when) {
    constexpr auto kLargest = static_cast<std::int64_t>(std::numeric_limits<std::uint32_t>::max());
    return static_cast<std::uint32_t>(std::clamp<std::int64_t>(when, 0, kLargest));
}

std::uint32_t ExpiryAfter(std::time_t learned, std::uint32_t ttl) {
    // In 64 bits: where time_t has 32, the sum may not fit it.
    return EntryTime(static_cast<std::int64_t>(learned) + ttl);
}

std::uint32_t AnswerExpiry(std::time_t learned, std::uint32_t ttl) {
    return ExpiryAfter(learned, std::min(ttl, kLongestAnswerTtl));
}

std::string DnsItem::AllAddressText() const {
    std::string text = AddressText();
    const std::string ipv6 = Ipv6Addresses.JoinList('|');
    if (!text.empty() && !ipv6.empty()) {
        text += '|';
    }
    return text + ipv6;
}

std::string DnsItem::LastHitText() const {
    return FormatLastHit(LastHitDate);
}

std::string FormatLastHit(std::time_t when) {
    if (when == 0) {
        return "00/00 00:00";
    }
    std::tm local{};
#ifdef _WIN32
    const bool converted = localtime_s(&local, &when) == 0;
#else
    const bool converted = localtime_r(&when, &local) != nullptr;
#endif
    std::array<char, 32> text{};
    if (!converted || std::strftime(text.data(), text.size(), "%m/%d %H:%M", &local) == 0) {
        return "00/00 00:00";
    }
    return text.data();
}

std::vector<CSocketAddress> DnsItem::SocketAddresses() const {
    std::vector<CSocketAddress> addresses;
    for (const CLockedStringList* list : {&Addresses, &Ipv6Addresses}) {
        for (const std::string& text : list->Texts()) {
            if (const std::optional<CSocketAddress> address = CSocketAddress::FromText(text, 0)) {
                addresses.push_back(*address);
            }
        }
    }
    return addresses;
}
