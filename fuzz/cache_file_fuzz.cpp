// Loads arbitrary text as a cache file, saves the cache and loads the saved text again: the
// second cache must hold the same entries with the same fields, IPv6 addresses and expiries
// included (a trailing empty address, which the saved "|" at the end of the field can't carry, is
// the one thing a save drops), and saving it once more must give a cache equal to it. Where the C
// library's sscanf is glibc's, every line is also scanned by sscanf with the file's format, and the
// two scans must agree. Bytes above 127 (UTF-8, an older version's code page, broken sequences: the
// corpus has each) go through untouched: every name loaded is a piece of the input. Anything else
// aborts.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "cache/cache_file.h"
#include "fuzz/fuzz_check.h"

namespace {

using Fields = std::tuple<std::vector<std::string>, std::int32_t, std::int32_t, std::time_t, bool,
                          std::vector<std::string>, std::uint32_t, std::uint32_t>;
using Snapshot = std::map<std::string, Fields>;

Snapshot Take(const CDnsItemMap& cache, bool dropTrailingEmpty) {
    Snapshot snapshot;
    cache.ForEach([&](const std::string& domain, const DnsItemPtr& item) {
        Check(domain == item->Domain, "key and domain differ");
        std::vector<std::string> addresses = item->Addresses.Texts();
        if (dropTrailingEmpty && !addresses.empty() && addresses.back().empty()) {
            addresses.pop_back();
        }
        snapshot[domain] = {addresses,
                            item->Ttl,
                            item->Hits,
                            item->LastHitDate,
                            item->Ipv6Known,
                            item->Ipv6Addresses.Texts(),
                            item->Ipv4Freshness.Expiry,
                            item->Ipv6Freshness.Expiry};
    });
    return snapshot;
}

std::unique_ptr<CDnsItemMap> Load(std::string_view text, std::time_t now) {
    auto cache = std::make_unique<CDnsItemMap>();
    std::istringstream in{std::string(text)};
    LoadFromStream(*cache, in, now);
    return cache;
}

#if defined(__GLIBC__)
// The scan of ScanCacheLine against sscanf itself. Numbers are read as long long here, so that
// no value is out of range for sscanf; ScanCacheLine clamps what is out of its fields' range.
void CompareWithSscanf(const std::string& line) {
    char domain[257] = {};
    char addresses[1025] = {};
    long long ttl = 0;
    long long hits = 0;
    long long date = 0;
    const int expected = std::max(0, std::sscanf(line.c_str(), "%256[^,],%1024[^,],%lld,%lld,%lld",
                                                 domain, addresses, &ttl, &hits, &date));
    CacheLine fields;
    const int converted = ScanCacheLine(line, fields);
    if (converted >= 2 && fields.AddressText.empty()) {
        // An empty address field is read as empty where sscanf stops.
        Check(expected == 1, "empty address field");
        return;
    }
    // sscanf with the five-field format is how an older reader sees the line: the sixth field
    // is past what it reads.
    Check(std::min(converted, 5) == expected, "field count differs from sscanf");
    const auto clamped = [](long long value) {
        return std::clamp<long long>(value, INT32_MIN, INT32_MAX);
    };
    // The date as %u takes it: a negative number modulo 2^32, saturated beyond either end.
    constexpr long long kWrap = 1LL << 32;
    const long long wrapped = date <= -kWrap || date >= kWrap ? UINT32_MAX : (date + kWrap) % kWrap;
    Check(converted < 1 || fields.Domain == domain, "domain differs from sscanf");
    Check(converted < 2 || fields.AddressText == addresses, "addresses differ from sscanf");
    Check(converted < 3 || fields.Ttl == clamped(ttl), "TTL differs from sscanf");
    Check(converted < 4 || fields.Hits == clamped(hits), "hits differ from sscanf");
    Check(converted < 5 || fields.LastHitDate == wrapped, "last hit time differs from sscanf");
}

void CompareLines(std::string_view text) {
    std::istringstream in{std::string(text)};
    for (std::string line; std::getline(in, line);) {
        line = line.substr(0, line.find('\0'));
        const std::size_t first = line.find_first_not_of(" \t\r\n");
        if (first == std::string::npos) {
            continue;
        }
        line = line.substr(first, line.find_last_not_of(" \t\r\n") - first + 1);
        if (line.front() != '#') {
            CompareWithSscanf(line);
        }
    }
}
#endif

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
#if defined(__GLIBC__)
    CompareLines(text);
#endif
    constexpr std::time_t kFirstLoad = 1700000000;
    constexpr std::time_t kSecondLoad = 1800000000;
    const auto first = Load(text, kFirstLoad);
    first->ForEach([&](const std::string& domain, const DnsItemPtr&) {
        Check(text.find(domain) != std::string_view::npos, "a name's bytes changed");
    });
    const std::string saved = SaveToText(*first);
    Check(saved.starts_with("#Domain,IP,TTL,HITS,LASTHITDATE\r\n"), "header");
    Check(saved.ends_with("\r\n"), "last line end");
    const auto second = Load(saved, kSecondLoad);
    Check(second->GetNextId() == second->GetCount(), "ids");
    Check(Take(*first, true) == Take(*second, false), "a save and load changed the cache");
    const auto third = Load(SaveToText(*second), kSecondLoad);
    Check(Take(*second, false) == Take(*third, false), "a second save and load changed the cache");
    return 0;
}
