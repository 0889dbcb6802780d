#include "cache/cache_file.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "cache/replace_file.h"
#include "net/ip_text.h"

namespace {

// The white space that scanf skips before a number (the "C" locale's isspace).
bool IsScanSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads the line field by field; every step stops at the end of the line.
class LineScanner {
public:
    explicit LineScanner(std::string_view line) : m_line(line) {}

    // Up to `width` characters other than ",", at least one unless `allowEmpty`.
    bool Text(std::size_t width, bool allowEmpty, std::string& out) {
        std::size_t end = m_pos;
        while (end < m_line.size() && end - m_pos < width && m_line[end] != ',') {
            ++end;
        }
        if (end == m_pos && !allowEmpty) {
            return false;
        }
        out.assign(m_line.substr(m_pos, end - m_pos));
        m_pos = end;
        return true;
    }

    // At the end of the line or before a comma.
    [[nodiscard]] bool AtFieldEnd() const { return m_pos == m_line.size() || m_line[m_pos] == ','; }

    bool Comma() {
        if (m_pos < m_line.size() && m_line[m_pos] == ',') {
            ++m_pos;
            return true;
        }
        return false;
    }

    bool Int(std::int32_t& out) {
        bool negative = false;
        std::uint64_t magnitude = 0;
        if (!Number(negative, magnitude)) {
            return false;
        }
        constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max());
        if (negative) {
            out = magnitude > kMax ? std::numeric_limits<std::int32_t>::min()
                                   : -static_cast<std::int32_t>(magnitude);
        } else {
            out = magnitude > kMax ? std::numeric_limits<std::int32_t>::max()
                                   : static_cast<std::int32_t>(magnitude);
        }
        return true;
    }

    // A field of digits alone, up to the end or a comma; false (nothing read) for anything else.
    bool Digits(std::uint32_t& out) {
        std::uint64_t value = 0;
        std::size_t at = m_pos;
        for (; at < m_line.size() && m_line[at] != ','; ++at) {
            if (m_line[at] < '0' || m_line[at] > '9') {
                return false;
            }
            value =
                std::min<std::uint64_t>(value * 10 + static_cast<std::uint64_t>(m_line[at] - '0'),
                                        std::numeric_limits<std::uint32_t>::max());
        }
        if (at == m_pos) {
            return false;
        }
        out = static_cast<std::uint32_t>(value);
        m_pos = at;
        return true;
    }

    bool Unsigned(std::uint32_t& out) {
        bool negative = false;
        std::uint64_t magnitude = 0;
        if (!Number(negative, magnitude)) {
            return false;
        }
        constexpr std::uint64_t kMax = std::numeric_limits<std::uint32_t>::max();
        if (magnitude > kMax) {
            out = std::numeric_limits<std::uint32_t>::max();
        } else {
            const auto value = static_cast<std::uint32_t>(magnitude);
            out = negative ? 0u - value : value;
        }
        return true;
    }

private:
    // White space, an optional sign and at least one decimal digit; the magnitude stops growing
    // once it is past every 32-bit limit.
    bool Number(bool& negative, std::uint64_t& magnitude) {
        std::size_t at = m_pos;
        while (at < m_line.size() && IsScanSpace(m_line[at])) {
            ++at;
        }
        negative = false;
        if (at < m_line.size() && (m_line[at] == '+' || m_line[at] == '-')) {
            negative = m_line[at] == '-';
            ++at;
        }
        const std::size_t digits = at;
        constexpr std::uint64_t kCap = std::uint64_t{1} << 33;
        magnitude = 0;
        while (at < m_line.size() && m_line[at] >= '0' && m_line[at] <= '9') {
            if (magnitude < kCap) {
                magnitude = magnitude * 10 + static_cast<std::uint64_t>(m_line[at] - '0');
            }
            ++at;
        }
        if (at == digits) {
            return false;
        }
        m_pos = at;
        return true;
    }

    std::string_view m_line;
    std::size_t m_pos = 0;
};

constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";
// UTF-16 in either byte order (UTF-32 little-endian starts alike).
constexpr std::string_view kUtf16ByteOrderMarks[] = {"\xFF\xFE", "\xFE\xFF"};

// Another program holding the file (a backup tool, a scanner at logon) lets go within a second.
constexpr int kOpenAttempts = 10;
constexpr auto kOpenRetryDelay = std::chrono::milliseconds(100);

enum class LineRead { kLine, kTooLong, kEnd };

// The next line, without its LF; the last one need not end in one. A line longer than
// kMaxLineLength is passed over up to its LF, and only its first part is read into `line`.
LineRead ReadLine(std::streambuf& in, std::string& line) {
    line.clear();
    using Traits = std::streambuf::traits_type;
    for (Traits::int_type c = in.sbumpc(); c != Traits::eof(); c = in.sbumpc()) {
        if (c == '\n') {
            return LineRead::kLine;
        }
        if (line.size() == kMaxLineLength) {
            while (c != Traits::eof() && c != '\n') {
                c = in.sbumpc();
            }
            return LineRead::kTooLong;
        }
        line.push_back(Traits::to_char_type(c));
    }
    return line.empty() ? LineRead::kEnd : LineRead::kLine;
}

std::string_view TrimLine(std::string_view line) {
    constexpr std::string_view kBlanks = " \t\r\n";
    const std::size_t first = line.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return line.substr(first, line.find_last_not_of(kBlanks) - first + 1);
}

// The expiry a line carries: the earlier of its IPv4 addresses' (when it has some) and its known
// IPv6 ones' (an unknown one, 0, makes it unknown); 0 for an entry with neither. A load gives it
// to both kinds.
std::uint32_t LineExpiry(const CacheRecord& record, bool hasIpv4) {
    if (!hasIpv4 && !record.Ipv6Known) {
        return 0;
    }
    std::uint32_t expiry = std::numeric_limits<std::uint32_t>::max();
    if (hasIpv4) {
        expiry = record.Ipv4Expiry;
    }
    if (record.Ipv6Known) {
        expiry = std::min(expiry, record.Ipv6Expiry);
    }
    return expiry;
}

// The sixth field: the mark for none, or IPv6 addresses of which those that read as one are
// kept, in their RFC 5952 form. A field without either leaves the IPv6 addresses unknown.
void LoadIpv6Field(DnsItem& item, std::string_view text) {
    if (text == kNoIpv6Mark) {
        item.Ipv6Known = true;
        return;
    }
    CLockedStringList texts(true);
    texts.SplitUnique(text, '|');
    for (const std::string& address : texts.Texts()) {
        if (std::string canonical = CanonicalIpv6Text(address); !canonical.empty()) {
            item.Ipv6Addresses.AddTail(std::move(canonical));
            item.Ipv6Known = true;
        }
    }
}

// Addresses joined by "|" as far as the reader takes them: a longer field would lose the line all
// but its domain, so it ends with the last whole address that fits.
std::string_view FitAddressField(std::string_view joined) {
    if (joined.size() <= kMaxAddressField) {
        return joined;
    }
    const std::size_t bar = joined.rfind('|', kMaxAddressField);
    return joined.substr(0, bar == std::string_view::npos ? 0 : bar);
}

// One line of the file into the cache; the caller holds the cache's lock.
void LoadLine(CDnsItemMap& cache, std::string_view line, std::time_t now) {
    line = TrimLine(line.substr(0, line.find('\0')));
    if (line.empty() || line.front() == '#') {
        return;
    }
    CacheLine fields;
    const int converted = ScanCacheLine(line, fields);
    if (converted == 0) {
        return;
    }
    auto item = std::make_shared<DnsItem>();
    item->Domain = fields.Domain;
    if (converted >= 4) {
        item->Ttl = fields.Ttl;
        item->Hits = fields.Hits;
    } else {
        fields.AddressText.clear();
    }
    if (converted >= 5) {
        item->LastHitDate = static_cast<std::time_t>(fields.LastHitDate);
    }
    if (item->LastHitDate == 0) {
        item->LastHitDate = now;
    }
    item->Id = cache.TakeNextId();
    if (!fields.AddressText.empty()) {
        item->Addresses.SplitUnique(fields.AddressText, '|');
    }
    if (converted >= 6) {
        LoadIpv6Field(*item, fields.Ipv6Text);
    }
    // Kept only where a save would write it again: for an entry with addresses.
    if (converted == 7 && (!item->AddressText().empty() || item->Ipv6Known)) {
        // An expiry further ahead than the TTL allows (written by hand) is cut to it.
        const std::int64_t latest = static_cast<std::int64_t>(now) + item->Ttl;
        const std::uint32_t expiry = EntryTime(std::min<std::int64_t>(fields.Expiry, latest));
        item->Ipv4Freshness.Expiry = expiry;
        item->Ipv6Freshness.Expiry = expiry;
    }
    cache.SetAt(fields.Domain, std::move(item));
}

}  // namespace

int ScanCacheLine(std::string_view line, CacheLine& fields) {
    LineScanner scan(line);
    if (!scan.Text(kMaxDomainField, false, fields.Domain)) {
        return 0;
    }
    if (!scan.Comma() || !scan.Text(kMaxAddressField, true, fields.AddressText)) {
        return 1;
    }
    if (!scan.Comma() || !scan.Int(fields.Ttl)) {
        return 2;
    }
    if (!scan.Comma() || !scan.Int(fields.Hits)) {
        return 3;
    }
    if (!scan.Comma() || !scan.Unsigned(fields.LastHitDate)) {
        return 4;
    }
    if (!scan.Comma() || !scan.Text(kMaxAddressField, true, fields.Ipv6Text) ||
        !scan.AtFieldEnd()) {
        return 5;
    }
    if (!scan.Comma()) {
        return 6;
    }
    if (!scan.Digits(fields.Expiry)) {
        fields.Expiry = 0;
    }
    return 7;
}

std::string DefaultCacheFilePath(std::string_view executablePath) {
    const std::size_t slash = executablePath.find_last_of("\\/");
    std::string path;
    if (slash != std::string_view::npos) {
        path.assign(executablePath.substr(0, slash + 1));
    }
    path += kCacheFileName;
    return path;
}

bool LoadFromStream(CDnsItemMap& cache, std::istream& in, std::time_t now) {
    auto lock = cache.Lock();
    std::streambuf& bytes = *in.rdbuf();
    std::string line;
    bool first = true;
    for (LineRead read; (read = ReadLine(bytes, line)) != LineRead::kEnd;) {
        if (std::exchange(first, false)) {
            const auto utf16 = [&line](std::string_view mark) { return line.starts_with(mark); };
            if (std::ranges::any_of(kUtf16ByteOrderMarks, utf16)) {
                return false;
            }
            // A byte order mark that an editor put before the header is no part of it.
            if (line.starts_with(kUtf8ByteOrderMark)) {
                line.erase(0, kUtf8ByteOrderMark.size());
            }
        }
        if (read == LineRead::kLine) {
            LoadLine(cache, line, now);
        }
    }
    cache.TrimToBound();
    return true;
}

CacheLoad LoadFromFile(CDnsItemMap& cache, const std::string& path, std::time_t now) {
    // Binary: the same bytes give the same entries on every platform (CR is trimmed per line).
    // The path is UTF-8; on Windows the file is opened by its UTF-16 name.
    std::filesystem::path name;
    try {
        name = std::filesystem::path(std::u8string(path.begin(), path.end()));
    } catch (const std::exception&) {
        return CacheLoad::kMissing;  // not UTF-8: no file has that name
    }
    std::ifstream in;
    for (int attempt = 1;; ++attempt) {
        in.open(name, std::ios::binary);
        if (in) {
            break;
        }
        const OpenFailure failure = WhyNotReadable(path);
        if (failure == OpenFailure::kMissing) {
            return CacheLoad::kMissing;
        }
        if (failure != OpenFailure::kHeld || attempt == kOpenAttempts) {
            return CacheLoad::kUnreadable;
        }
        // Without the cache's lock: the proxy may be answering from it.
        std::this_thread::sleep_for(kOpenRetryDelay);
    }
    try {
        return LoadFromStream(cache, in, now) ? CacheLoad::kLoaded : CacheLoad::kUnreadable;
    } catch (const std::exception&) {
        // The stream's buffer throws when a read fails (a folder, a file not on the disk).
        return CacheLoad::kUnreadable;
    }
}

std::vector<CacheRecord> SnapshotCache(const CDnsItemMap& cache) {
    std::vector<CacheRecord> records;
    records.reserve(static_cast<std::size_t>(cache.GetCount()));
    cache.ForEachInSteps(
        [&records](const DnsItemPtr& item) {
            records.push_back({item, item->Ttl, item->Hits, item->LastHitDate, item->Ipv6Known,
                               item->Ipv4Freshness.Expiry, item->Ipv6Freshness.Expiry});
        },
        [&records] { records.clear(); });
    return records;
}

std::string FormatCacheFile(const std::vector<CacheRecord>& records) {
    std::string text(kCacheFileHeader);
    text += "\r\n";
    for (const CacheRecord& record : records) {
        const std::string joined = record.Item->AddressText();
        const std::string_view addresses = FitAddressField(joined);
        text += record.Item->Domain;
        text += ',';
        text += addresses;
        text += ',';
        text += std::to_string(record.Ttl);
        text += ',';
        text += std::to_string(record.Hits);
        text += ',';
        // Written as an unsigned 32-bit number, as the file has always held it.
        text += std::to_string(static_cast<std::uint32_t>(record.LastHitDate));
        const std::uint32_t expiry = LineExpiry(record, !addresses.empty());
        if (record.Ipv6Known || expiry != 0) {
            text += ',';
            const std::string ipv6 = record.Item->Ipv6Addresses.JoinList('|');
            text += !record.Ipv6Known ? "" : ipv6.empty() ? kNoIpv6Mark : FitAddressField(ipv6);
        }
        if (expiry != 0) {
            text += ',';
            text += std::to_string(expiry);
        }
        text += "\r\n";
    }
    return text;
}

std::string SaveToText(const CDnsItemMap& cache) {
    return FormatCacheFile(SnapshotCache(cache));
}

bool SaveToFile(const CDnsItemMap& cache, const std::string& path, CSaveOutcome* outcome) {
    // The saves share the temporary file. A save that waited for another takes its snapshot
    // after that one has been written: taken before, it could replace a newer file with an
    // older state (an entry deleted by a command would come back at the next start).
    static std::mutex writing;
    std::lock_guard lock(writing);
    if (outcome != nullptr && outcome->FileKept()) {
        return false;
    }
    int error = 0;
    const bool saved = WriteFileReplacing(path, SaveToText(cache), error);
    if (outcome != nullptr) {
        outcome->Record(saved, error);
    }
    return saved;
}
