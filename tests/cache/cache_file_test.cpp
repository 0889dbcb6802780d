#include "cache/cache_file.h"

#include "cache/cache_saver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>

#include <csignal>
#endif

namespace {

namespace fs = std::filesystem;
using Texts = std::vector<std::string>;

constexpr std::time_t kNow = 1700000000;
// A last hit time as the file holds it; where time_t has 32 bits, the later half of the range
// wraps to negative values and back again on saving.
constexpr std::time_t FileTime(std::uint32_t seconds) {
    return static_cast<std::time_t>(seconds);
}
constexpr const char* kHeader = "#Domain,IP,TTL,HITS,LASTHITDATE\r\n";
constexpr const char* kOldFile = "#Domain,IP,TTL,HITS,LASTHITDATE\r\nold.entry,1.2.3.4,1,2,3\r\n";

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}
std::string ReadBytes(const std::string& path) {
    std::ostringstream bytes;
    bytes << std::ifstream(path, std::ios::binary).rdbuf();
    return bytes.str();
}

DnsItemPtr Add(CDnsItemMap& cache, const std::string& domain, const char* addresses,
               std::int32_t ttl, std::int32_t hits, std::time_t lastHit) {
    CLockedStringList list;
    list.SplitUnique(addresses, '|');
    DnsItemPtr item = cache.Learn(domain, list, ttl, lastHit, 0);
    item->Hits = hits;
    return item;
}

// A fresh, empty folder per test, removed afterwards.
class CacheFile : public ::testing::Test {
protected:
    void SetUp() override {
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(m_dir, ignored);
    }
    std::string PathOf(const char* name) const { return (m_dir / name).string(); }

    const fs::path m_dir = fs::temp_directory_path() /
                           (std::string("qf-cache-") +
                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    const std::string m_path = PathOf("DnsItem.csv");
};

// What each kind of line turns into; the load time stands in for a missing or zero date. Field
// lengths sit on both sides of the scanner's limits. The sixth field holds IPv6 addresses in their
// RFC 5952 form (texts that are none dropped), the mark for a name known to have none, or nothing
// known; the first five read the same with it or without. The seventh is the addresses' expiry,
// none (expired) when it is no number of seconds, and never further ahead than the TTL.
TEST(CacheFileLoad, EachLineKeepsWhatItsFieldsAllow) {
    struct Case {
        std::string line;
        std::string domain;
        Texts addresses;
        std::int32_t ttl;
        std::int32_t hits;
        std::time_t lastHit;
        bool ipv6Known = false;
        Texts ipv6{};
        std::uint32_t expiry = 0;
    };
    const std::string d256(256, 'd');
    const std::string e256(256, 'e');
    const std::string ip1024 = std::string(1016, '1') + "|1.2.3.4";
    const Texts v6{"2001:db8::1", "fe80::1"};
    const Case cases[] = {
        {"only.domain", "only.domain", {}, 0, 0, kNow},
        {"four.fields,1.2.3.4,60,3", "four.fields", {"1.2.3.4"}, 60, 3, kNow},
        {"zero.date,1.2.3.4,60,3,0", "zero.date", {"1.2.3.4"}, 60, 3, kNow},
        {"bad.ttl,1.2.3.4,x,3,5", "bad.ttl", {}, 0, 0, kNow},
        {"sign.only,1.2.3.4,-,3,5", "sign.only", {}, 0, 0, kNow},
        {"  spaced ,1.2.3.4, 60,\t3,\v\f5junk \t", "spaced ", {"1.2.3.4"}, 60, 3, 5},
        {"signs,1.2.3.4,-60,+3,-1", "signs", {"1.2.3.4"}, -60, 3, FileTime(UINT32_MAX)},
        {"big.date,1.2.3.4,1,2,3000000000", "big.date", {"1.2.3.4"}, 1, 2, FileTime(3000000000)},
        {"clamped,1.2.3.4,99999999999999999999,-2147483649,4294967296",
         "clamped",
         {"1.2.3.4"},
         INT32_MAX,
         INT32_MIN,
         FileTime(UINT32_MAX)},
        {"no.address,,60,3,5", "no.address", {}, 60, 3, 5},
        {"bars,|1.1.1.1||2.2.2.2|1.1.1.1|,1,1,1", "bars", {"", "1.1.1.1", "2.2.2.2"}, 1, 1, 1},
        {"as.is, 1.1.1.1|x,1,1,1", "as.is", {" 1.1.1.1", "x"}, 1, 1, 1},
        {d256 + ",1.2.3.4,60,3,5", d256, {"1.2.3.4"}, 60, 3, 5},
        {e256 + "E,1.2.3.4,60,3,5", e256, {}, 0, 0, kNow},
        {"ip1024," + ip1024 + ",60,3,5", "ip1024", {std::string(1016, '1'), "1.2.3.4"}, 60, 3, 5},
        {"ip1025," + ip1024 + "9,60,3,5", "ip1025", {}, 0, 0, kNow},
        {std::string("nul.cut\0,1.2.3.4,60,3,5", 23), "nul.cut", {}, 0, 0, kNow},
        {"v6,1.2.3.4,60,3,5,2001:DB8:0::1|bogus|fe80::1", "v6", {"1.2.3.4"}, 60, 3, 5, true, v6},
        {"none,1.2.3.4,60,3,5,-", "none", {"1.2.3.4"}, 60, 3, 5, true},
        {"empty,1.2.3.4,60,3,5,", "empty", {"1.2.3.4"}, 60, 3, 5},
        {"bogus,1.2.3.4,60,3,5,bogus", "bogus", {"1.2.3.4"}, 60, 3, 5},
        {"seventh,1.2.3.4,60,3,5,::1,x", "seventh", {"1.2.3.4"}, 60, 3, 5, true, {"::1"}},
        {"fresh,1.2.3.4,60,3,5,,1700000030", "fresh", {"1.2.3.4"}, 60, 3, 5, false, {}, kNow + 30},
        {"far,1.2.3.4,60,3,5,-,1800000000", "far", {"1.2.3.4"}, 60, 3, 5, true, {}, kNow + 60},
        {"minus,1.2.3.4,60,3,5,,-5", "minus", {"1.2.3.4"}, 60, 3, 5},
        {"junk,1.2.3.4,60,3,5,,12x", "junk", {"1.2.3.4"}, 60, 3, 5},
        {"bare,,60,3,5,,1700000030", "bare", {}, 60, 3, 5},
        // Bytes above 127 stay as they are: UTF-8, an older version's code page, neither.
        {"bücher.test,1.2.3.4,1,2,3", "bücher.test", {"1.2.3.4"}, 1, 2, 3},
        {"m\xFCnchen.test,1.2.3.4,1,2,3", "m\xFCnchen.test", {"1.2.3.4"}, 1, 2, 3},
        {"\xC3\x28\xED\xA0\x80\xF8.test,1,1,2,3", "\xC3\x28\xED\xA0\x80\xF8.test", {"1"}, 1, 2, 3},
    };
    // Comments, blank lines and lines without a domain anywhere; LF and CR LF line ends; no line
    // end after the last line. A line longer than any of the file is skipped whole, at the end too.
    const std::string tooLong = "long.line," + std::string(kMaxLineLength, '1') + ",1,1,1\n";
    std::string text =
        std::string(kHeader) + ",1.2.3.4,60,3,5\n\r\n   \t\r\n  #x.y,1,1,1,1\n" + tooLong;
    for (const Case& c : cases) {
        text += c.line + "\r\n#z\n";
    }
    text += "last.line,5.6.7.8,7,8,9\n" + tooLong.substr(0, tooLong.size() - 1);
    CDnsItemMap cache;
    std::istringstream in(text);
    LoadFromStream(cache, in, kNow);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line.substr(0, 40));
        DnsItemPtr item = cache.Lookup(c.domain);
        ASSERT_TRUE(item);
        EXPECT_EQ(item->Addresses.Texts(), c.addresses);
        EXPECT_EQ(item->Ttl, c.ttl);
        EXPECT_EQ(item->Hits, c.hits);
        EXPECT_EQ(item->LastHitDate, c.lastHit);
        EXPECT_EQ(item->Ipv6Known, c.ipv6Known);
        EXPECT_EQ(item->Ipv6Addresses.Texts(), c.ipv6);
        EXPECT_EQ(item->Ipv4Freshness.Expiry, c.expiry);
        EXPECT_EQ(item->Ipv6Freshness.Expiry, c.expiry);
    }
    ASSERT_TRUE(cache.Lookup("last.line"));
    EXPECT_EQ(cache.Lookup("last.line")->LastHitDate, 9);
    // Every line that made an entry took a fresh id, in order.
    EXPECT_EQ(cache.GetCount(), std::size(cases) + 1);
    EXPECT_EQ(cache.Lookup("only.domain")->Id, 0);
    EXPECT_EQ(cache.Lookup("last.line")->Id, cache.GetCount() - 1);
}

// An import merges: later lines win, case makes different domains, other entries stay, and a
// replaced entry is released. A missing file changes nothing.
TEST_F(CacheFile, LoadMergesIntoTheCacheAndReleasesReplacedEntries) {
    CDnsItemMap cache;
    Add(cache, "kept.example", "9.9.9.9", 1, 1, 1);
    std::weak_ptr<DnsItem> replaced = Add(cache, "a.b", "8.8.8.8", 1, 1, 1);
    EXPECT_EQ(LoadFromFile(cache, PathOf("absent.csv"), kNow), CacheLoad::kMissing);
    EXPECT_EQ(cache.GetNextId(), 2);

    // An editor's byte order mark before the header.
    WriteBytes(m_path,
               "\xEF\xBB\xBF#Domain\r\na.b,1.1.1.1,10,1,1\r\nA.b,2.2.2.2,20,2,2\r\n"
               "a.b,3.3.3.3,30,3,3\r\n");
    EXPECT_EQ(LoadFromFile(cache, m_path, kNow), CacheLoad::kLoaded);
    EXPECT_EQ(cache.GetCount(), 3);
    EXPECT_TRUE(replaced.expired());
    EXPECT_EQ(cache.Lookup("kept.example")->Addresses.Texts(), Texts{"9.9.9.9"});
    EXPECT_EQ(cache.Lookup("a.b")->Addresses.Texts(), Texts{"3.3.3.3"});
    EXPECT_EQ(cache.Lookup("a.b")->Id, 4);
    EXPECT_EQ(cache.Lookup("A.b")->Ttl, 20);
}

// A file that is there but can't be read is told from a missing one and changes nothing; saves
// leave such a file alone while their outcome keeps it. Under Windows a file that another program
// holds for a moment is waited for, by a load and by a save.
TEST_F(CacheFile, UnreadableFileIsToldApartAndKept) {
    CDnsItemMap cache;
    fs::create_directory(PathOf("folder.csv"));
    EXPECT_EQ(LoadFromFile(cache, PathOf("folder.csv"), kNow), CacheLoad::kUnreadable);
    // UTF-16 in either byte order, as PowerShell's ">" and Notepad's "Unicode" write it.
    const std::string utf16("#\0D\0\r\0\n\0a\0.\0b\0", 14);
    for (const std::string mark : {"\xFF\xFE", "\xFE\xFF"}) {
        WriteBytes(m_path, mark + utf16);
        EXPECT_EQ(LoadFromFile(cache, m_path, kNow), CacheLoad::kUnreadable);
    }
    EXPECT_EQ(cache.GetCount(), 0);

    CSaveOutcome outcome;
    outcome.KeepFile(true);
    EXPECT_FALSE(SaveToFile(cache, m_path, &outcome));
    EXPECT_EQ(ReadBytes(m_path)[0], '\xFE');
    outcome.KeepFile(false);
    EXPECT_TRUE(SaveToFile(cache, m_path, &outcome));
#ifdef _WIN32
    // Another program holds the file for a moment without sharing it: the load and the save wait.
    for (const bool save : {false, true}) {
        HANDLE held = CreateFileW(fs::path(m_path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        std::thread holder([held] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            CloseHandle(held);
        });
        CDnsItemMap loaded;
        EXPECT_TRUE(save ? SaveToFile(cache, m_path)
                         : LoadFromFile(loaded, m_path, kNow) == CacheLoad::kLoaded);
        holder.join();
    }
#endif
}

// Saved texts load back as they were; the fuzz target checks that for every corpus file.
TEST_F(CacheFile, SaveWritesExactBytesOverAnyOlderFile) {
    WriteBytes(m_path, std::string(5000, 'x'));
    CDnsItemMap cache;
    ASSERT_TRUE(SaveToFile(cache, m_path));
    EXPECT_EQ(ReadBytes(m_path), kHeader);

    Add(cache, "Ab.cde", "1.2.3.4|5.6.7.8", -5, 7, FileTime(3000000000));
    ASSERT_TRUE(SaveToFile(cache, m_path));
    EXPECT_EQ(ReadBytes(m_path),
              std::string(kHeader) + "Ab.cde,1.2.3.4|5.6.7.8,-5,7,3000000000\r\n");

    // Known IPv6 addresses, or their absence, make the sixth field.
    cache.LearnIpv6("Ab.cde", {"2001:db8::1", "::1"}, -5, 0, 0);
    cache.LearnIpv6("none.cde", {}, 0, 1, 0);
    ASSERT_TRUE(SaveToFile(cache, m_path));
    const std::string text = ReadBytes(m_path);
    EXPECT_NE(text.find("Ab.cde,1.2.3.4|5.6.7.8,-5,7,3000000000,2001:db8::1|::1\r\n"), text.npos);
    EXPECT_NE(text.find("none.cde,,0,0,1,-\r\n"), text.npos);
    EXPECT_FALSE(fs::exists(m_path + ".tmp"));

    // A known expiry makes a seventh field, the sixth empty while the IPv6 addresses are not
    // known: the earlier of the two kinds'.
    Add(cache, "exp.cde", "1.1.1.1", 60, 0, 1)->Ipv4Freshness.Expiry = kNow + 50;
    ASSERT_TRUE(SaveToFile(cache, m_path));
    EXPECT_NE(ReadBytes(m_path).find("\nexp.cde,1.1.1.1,60,0,1,,1700000050\r\n"), text.npos);
    cache.LearnIpv6("exp.cde", {}, 60, 1, kNow + 40);
    ASSERT_TRUE(SaveToFile(cache, m_path));
    EXPECT_NE(ReadBytes(m_path).find("\nexp.cde,1.1.1.1,60,0,1,-,1700000040\r\n"), text.npos);

    // More addresses than the reader takes: the whole ones that fit, and the rest of the line.
    std::string many = "192.168.100.0";
    for (int i = 1; i < 80; ++i) {
        many += "|192.168.100." + std::to_string(i);
    }
    Add(cache, "many.cde", many.c_str(), 60, 9, 1);
    ASSERT_TRUE(SaveToFile(cache, m_path));
    CDnsItemMap loaded;
    LoadFromFile(loaded, m_path, kNow);
    EXPECT_EQ(loaded.Lookup("many.cde")->Addresses.JoinList('|'),
              many.substr(0, many.rfind('|', kMaxAddressField)));
    EXPECT_EQ(loaded.Lookup("many.cde")->Hits, 9);
}

TEST_F(CacheFile, FailedSaveKeepsThePreviousFile) {
    WriteBytes(m_path, kOldFile);
    CDnsItemMap cache;
    Add(cache, "new.entry", "5.6.7.8", 1, 2, 3);

    // The temporary file can't be created (a folder has its name).
    fs::create_directory(m_path + ".tmp");
    EXPECT_FALSE(SaveToFile(cache, m_path));
    EXPECT_EQ(ReadBytes(m_path), kOldFile);
    fs::remove(m_path + ".tmp");

    // The complete file can't take the old one's place (a folder is in the way).
    const std::string folder = PathOf("folder.csv");
    fs::create_directories(folder + "/inside");
    EXPECT_FALSE(SaveToFile(cache, folder));
    EXPECT_TRUE(fs::is_directory(folder + "/inside"));
    EXPECT_FALSE(fs::exists(folder + ".tmp"));

    EXPECT_FALSE(SaveToFile(cache, PathOf("no-such-folder/DnsItem.csv")));

#ifndef _WIN32
    // A write that fails half-way (here: the file size limit, which holds even for root).
    for (int i = 0; i < 200; ++i) {
        Add(cache, "host" + std::to_string(i) + ".example", "10.0.0.1|10.0.0.2", 60, i, kNow);
    }
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 1000;
    auto* oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool ok = SaveToFile(cache, m_path);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(ok);
    EXPECT_EQ(ReadBytes(m_path), kOldFile);
    EXPECT_FALSE(fs::exists(m_path + ".tmp"));

    // The save that works keeps the old file's permissions.
    constexpr fs::perms kPrivate = fs::perms::owner_read | fs::perms::owner_write;
    fs::permissions(m_path, kPrivate);
    ASSERT_TRUE(SaveToFile(cache, m_path));
    EXPECT_EQ(fs::status(m_path).permissions(), kPrivate);
#endif
}

// Paths are UTF-8 on every platform: a folder named in any language holds the file. Each save
// records its outcome: a failure until a save succeeds.
TEST_F(CacheFile, UnicodeFolderHoldsTheFileAndSavesRecordTheirOutcome) {
    const fs::path folder = m_dir / fs::path(u8"测试 Zoë");
    fs::create_directory(folder);
    const std::u8string name = (folder / "DnsItem.csv").u8string();
    const std::string path(name.begin(), name.end());
    CDnsItemMap cache;
    Add(cache, "bücher.test", "1.2.3.4", 1, 2, 3);
    CSaveOutcome outcome;
    EXPECT_FALSE(SaveToFile(cache, path + ".missing/DnsItem.csv", &outcome));
    EXPECT_TRUE(outcome.Failure());
    ASSERT_TRUE(SaveToFile(cache, path, &outcome));
    EXPECT_FALSE(outcome.Failure());
    EXPECT_TRUE(fs::exists(folder / "DnsItem.csv"));
    CDnsItemMap loaded;
    ASSERT_EQ(LoadFromFile(loaded, path, kNow), CacheLoad::kLoaded);
    EXPECT_TRUE(loaded.Lookup("bücher.test"));
}

// A save is one consistent snapshot while the proxy's threads learn and count hits.
TEST_F(CacheFile, SaveWhileThreadsLearnAndHit) {
    CDnsItemMap cache;
    CLockedStringList addresses;
    addresses.SplitUnique("10.0.0.1|10.0.0.2", '|');
    DnsItemPtr hot = cache.Learn("hot.example", addresses, 60, kNow, 0);
    std::atomic<bool> stop{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < 3; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; !stop.load(); ++i) {
                cache.Learn("t" + std::to_string(t) + "-" + std::to_string(i % 300) + ".example",
                            addresses, i, kNow + i, 0);
                cache.RecordHit(*hot, kNow + i);
            }
        });
    }
    for (int i = 0; i < 20; ++i) {
        EXPECT_TRUE(SaveToFile(cache, m_path));
    }
    stop = true;
    for (std::thread& worker : workers) {
        worker.join();
    }
    CDnsItemMap loaded;
    ASSERT_EQ(LoadFromFile(loaded, m_path, 0), CacheLoad::kLoaded);
    EXPECT_GT(loaded.GetCount(), 0);
    loaded.ForEach([&](const std::string& domain, const DnsItemPtr& item) {
        EXPECT_EQ(item->Addresses.Texts(), (Texts{"10.0.0.1", "10.0.0.2"})) << domain;
        EXPECT_NE(item->LastHitDate, 0) << domain;
    });
}

// The saver writes each change by itself once its period is over; a change whose period has
// not ended when it stops is left to its owner's last save.
TEST_F(CacheFile, SaverWritesChangesByItselfAndLeavesTheLastPeriodToItsOwner) {
    using namespace std::chrono_literals;
    CDnsItemMap cache;
    auto saved = [&](const std::string& domain) {
        for (auto deadline = std::chrono::steady_clock::now() + 10s;
             std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(10ms)) {
            if (ReadBytes(m_path).find("\n" + domain + ",") != std::string::npos) {
                return true;
            }
        }
        return false;
    };
    {
        CCacheSaver saver(cache, m_path, 0ms);
        for (const std::string domain : {"first.example", "second.example"}) {
            Add(cache, domain, "10.0.0.1", 60, 0, kNow);
            saver.MarkChanged();
            EXPECT_TRUE(saved(domain));
        }
    }
    fs::remove(m_path);
    CCacheSaver slow(cache, m_path, 1h);
    slow.MarkChanged();
    slow.Stop();
    EXPECT_FALSE(fs::exists(m_path));
}

}  // namespace
