#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

#include "cache/save_outcome.h"
#include "core/dns_item_map.h"

// The cache file "DnsItem.csv": 8-bit text, the header line, then one line per entry
//     domain,IPv4 addresses joined by "|",ttl,hits,last hit time (seconds since 1970,
//     unsigned)[,IPv6 addresses joined by "|", or "-" for a name known to have none
//     [,expiry (seconds since 1970)]]
// with CR LF after every line on every platform. An address field longer than the reader takes
// is written up to the last whole address that fits. The sixth field is written for an entry whose
// IPv6 addresses are known, and left empty before a seventh; the seventh when the addresses'
// expiry is known: the earlier of the IPv4 addresses' and the IPv6 ones'. A reader of the
// five-field form stops before them. Entry ids are not stored; a load numbers the entries it adds
// from the container's counter.

inline constexpr std::string_view kCacheFileName = "DnsItem.csv";
inline constexpr std::string_view kCacheFileHeader = "#Domain,IP,TTL,HITS,LASTHITDATE";
// A longer domain or address field makes a line keep only its domain, cut to this length.
inline constexpr std::size_t kMaxDomainField = 256;
inline constexpr std::size_t kMaxAddressField = 1024;
// A line longer than this (a save writes at most 256 + 1024 + 1024 characters and the numbers)
// is no line of the file: it is skipped, read in pieces, never held whole.
inline constexpr std::size_t kMaxLineLength = 4096;
// The sixth field of a name known to have no IPv6 address.
inline constexpr std::string_view kNoIpv6Mark = "-";

// The fields of one line, as far as ScanCacheLine converted them.
struct CacheLine {
    std::string Domain;
    std::string AddressText;
    std::int32_t Ttl = 0;
    std::int32_t Hits = 0;
    std::uint32_t LastHitDate = 0;
    std::string Ipv6Text;
    // 0 when the seventh field is not a number of seconds (a negative one included).
    std::uint32_t Expiry = 0;
};

// Scans a line (without its line end) field by field, the way scanf reads the format
// "%256[^,],%1024[^,],%d,%d,%u", and returns how many fields it converted before the first that
// does not match; 6 when a whole sixth field follows the fifth (at most 1024 characters, up to
// the next comma or the end), 7 when a seventh follows it, whatever it holds. The domain takes at
// most 256 characters and the addresses at most 1024; a longer field is cut there and the comma
// that must follow is then missing, which ends the scan. Numbers are decimal with optional white
// space and sign before them; one out of range is clamped to the field's limits (a negative last
// hit time wraps around, as scanf's %u does), so that no input is undefined. Unlike scanf, an empty
// address field is converted as empty: an entry saved without addresses reads back with its TTL,
// hits and last hit time.
int ScanCacheLine(std::string_view line, CacheLine& fields);

// The cache file beside the executable: its path cut after the last "\" (or "/"), followed by
// "DnsItem.csv"; the bare file name when the path has no folder or is empty.
std::string DefaultCacheFilePath(std::string_view executablePath);

// Merges the entries of a cache file's text into the cache, holding its lock throughout. Lines
// may end with CR LF or LF; a line counts up to its first NUL. Empty lines, lines starting with
// "#", lines without a domain and lines longer than kMaxLineLength are skipped (so is a UTF-8 byte
// order mark before the first line); a line with fewer than four fields keeps only its domain.
// Bytes above 127 are kept as they are, in the domain too: the cache's names are compared with
// names as DNS carries them, byte for byte, and a file of an older version (ASCII, or the
// system's code page) loads unchanged. A last hit time that is missing or 0 becomes `now`. The
// expiry of the seventh field (none: expired) counts for an entry with addresses, and no further
// than its TTL from `now`. An entry read replaces (and releases) the container's entry for the
// same domain, byte for byte; all others stay. A cache beyond its bound afterwards drops the
// entries hit least recently. False, with the cache unchanged, for a text that starts with a
// UTF-16 byte order mark (an editor's or a shell's "Unicode"), which holds no line of the file.
bool LoadFromStream(CDnsItemMap& cache, std::istream& in, std::time_t now);

enum class CacheLoad {
    kLoaded,
    // No file of that name: the cache is unchanged, as at a first start.
    kMissing,
    // The file is there but could not be read (no access, held by another program, not on the
    // disk, a folder, UTF-16 text): the cache is unchanged, or holds the lines read before a read
    // failed. Its owner must not write a cache over that file that lacks what it holds.
    kUnreadable,
};
// LoadFromStream on the file (its path in UTF-8). A file that another program holds for the
// moment (Windows) is tried again for about a second.
CacheLoad LoadFromFile(CDnsItemMap& cache, const std::string& path, std::time_t now);

// One entry as a save writes it: the entry itself for its domain and addresses, and a copy of
// the fields that the cache's lock guards, taken under that lock. An entry's domain is its key
// and never changes while the entry is in the cache; its addresses have a lock of their own.
struct CacheRecord {
    DnsItemPtr Item;
    std::int32_t Ttl = 0;
    std::int32_t Hits = 0;
    std::time_t LastHitDate = 0;
    bool Ipv6Known = false;
    std::uint32_t Ipv4Expiry = 0;
    std::uint32_t Ipv6Expiry = 0;
};

// Every entry of the cache in the container's order, copied under the cache's lock, which is
// held for nothing else and for a few thousand entries at a time: the lines are formatted
// afterwards, while the proxy looks names up.
std::vector<CacheRecord> SnapshotCache(const CDnsItemMap& cache);
// The whole text of the file for a snapshot.
std::string FormatCacheFile(const std::vector<CacheRecord>& records);
// FormatCacheFile of a snapshot of the cache as it is now.
std::string SaveToText(const CDnsItemMap& cache);
// Writes the file whole from one snapshot of the cache. The previous file is replaced only once
// the new one is completely on disk: false, with the previous file untouched, when anything
// fails. Saves from several threads take turns, each from a snapshot taken in its turn, so that
// the file never goes back to an older state. Never called with the cache's lock held. The
// outcome, when given, records how the save went; while it keeps the file, nothing is written
// and the result is false.
bool SaveToFile(const CDnsItemMap& cache, const std::string& path, CSaveOutcome* outcome = nullptr);
