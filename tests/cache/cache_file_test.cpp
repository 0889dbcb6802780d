#include "cache/cache_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
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

// A fresh, empty folder per test, removed afterwards.
class CacheFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        m_dir = fs::temp_directory_path() / (std::string("qf-cache-") + test->name());
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(m_dir, ignored);
    }

    std::string PathOf(const char* name) const { return (m_dir / name).string(); }

    static void WriteBytes(const std::string& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    static std::string ReadBytes(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        return bytes.str();
    }

    fs::path m_dir;
};

void Load(CDnsItemMap& cache, const std::string& text) {
    std::istringstream in(text);
    LoadFromStream(cache, in, kNow);
}

DnsItemPtr Add(CDnsItemMap& cache, const char* domain, const char* addresses, std::int32_t ttl,
               std::int32_t hits, std::time_t lastHit) {
    auto item = std::make_shared<DnsItem>();
    item->Domain = domain;
    item->Id = cache.TakeNextId();
    item->Addresses.SplitUnique(addresses, '|');
    item->Ttl = ttl;
    item->Hits = hits;
    item->LastHitDate = lastHit;
    cache.SetAt(domain, item);
    return item;
}

TEST(CacheFilePath, SitsBesideTheExecutable) {
    EXPECT_EQ(DefaultCacheFilePath("C:\\Program Files\\Q\\quillforth.exe"),
              "C:\\Program Files\\Q\\DnsItem.csv");
    EXPECT_EQ(DefaultCacheFilePath("/opt/q/quillforthd"), "/opt/q/DnsItem.csv");
    EXPECT_EQ(DefaultCacheFilePath("quillforth.exe"), "DnsItem.csv");
    EXPECT_EQ(DefaultCacheFilePath(""), "DnsItem.csv");
}

TEST_F(CacheFileTest, MissingFileLeavesTheCacheAsItWas) {
    CDnsItemMap cache;
    Add(cache, "kept.example", "1.2.3.4", 60, 1, 5);
    EXPECT_FALSE(LoadFromFile(cache, PathOf("absent.csv"), kNow));
    EXPECT_EQ(cache.GetCount(), 1);
    EXPECT_EQ(cache.GetNextId(), 1);
}

TEST_F(CacheFileTest, CommentsAndEmptyLinesAnywhereAreSkipped) {
    const std::string path = PathOf("DnsItem.csv");
    WriteBytes(path, std::string(kHeader) + "\r\n   \t\r\n#x.y,1.2.3.4,1,1,1\n  #z\r\n" +
                         "a.b,1.2.3.4,60,2,3\r\n#Domain,IP,TTL,HITS,LASTHITDATE\r\n\n");
    CDnsItemMap cache;
    EXPECT_TRUE(LoadFromFile(cache, path, kNow));
    EXPECT_EQ(cache.GetCount(), 1);
    EXPECT_TRUE(cache.Lookup("a.b"));
}

// What each kind of line turns into; the load time stands in for a missing or zero date.
TEST(CacheFileLoad, EachLineKeepsWhatItsFieldsAllow) {
    struct Case {
        std::string line;
        std::string domain;
        Texts addresses;
        std::int32_t ttl;
        std::int32_t hits;
        std::time_t lastHit;
    };
    const std::string d256(256, 'd');
    const std::string e256(256, 'e');
    const std::string ip1024 = std::string(1016, '1') + "|1.2.3.4";
    const Case cases[] = {
        {"only.domain", "only.domain", {}, 0, 0, kNow},
        {"four.fields,1.2.3.4,60,3", "four.fields", {"1.2.3.4"}, 60, 3, kNow},
        {"zero.date,1.2.3.4,60,3,0", "zero.date", {"1.2.3.4"}, 60, 3, kNow},
        {"two.fields,1.2.3.4", "two.fields", {}, 0, 0, kNow},
        {"bad.ttl,1.2.3.4,x,3,5", "bad.ttl", {}, 0, 0, kNow},
        {"sign.only,1.2.3.4,-,3,5", "sign.only", {}, 0, 0, kNow},
        {"space.before.comma,1.2.3.4,60 ,3,5", "space.before.comma", {}, 0, 0, kNow},
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
        {"dups,1.1.1.1|2.2.2.2|1.1.1.1,1,1,1", "dups", {"1.1.1.1", "2.2.2.2"}, 1, 1, 1},
        {"bar.end,1.1.1.1|,1,1,1", "bar.end", {"1.1.1.1"}, 1, 1, 1},
        {"bar.start,|1.1.1.1,1,1,1", "bar.start", {"", "1.1.1.1"}, 1, 1, 1},
        {"bars,1.1.1.1||2.2.2.2||,1,1,1", "bars", {"1.1.1.1", "", "2.2.2.2"}, 1, 1, 1},
        {"as.is, 1.1.1.1|x,1,1,1", "as.is", {" 1.1.1.1", "x"}, 1, 1, 1},
        {d256 + ",1.2.3.4,60,3,5", d256, {"1.2.3.4"}, 60, 3, 5},
        {e256 + "E,1.2.3.4,60,3,5", e256, {}, 0, 0, kNow},
        {"ip1024," + ip1024 + ",60,3,5", "ip1024", {std::string(1016, '1'), "1.2.3.4"}, 60, 3, 5},
        {"ip1025," + ip1024 + "9,60,3,5", "ip1025", {}, 0, 0, kNow},
        {std::string("nul.cut\0,1.2.3.4,60,3,5", 23), "nul.cut", {}, 0, 0, kNow},
    };
    // LF and CR LF line ends, lines without a domain, and no line end after the last line.
    std::string text = ",1.2.3.4,60,3,5\n";
    for (const Case& c : cases) {
        text += c.line + "\r\n";
    }
    text += "last.line,5.6.7.8,7,8,9";
    CDnsItemMap cache;
    Load(cache, text);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line.substr(0, 40));
        DnsItemPtr item = cache.Lookup(c.domain);
        ASSERT_TRUE(item);
        EXPECT_EQ(item->Addresses.Texts(), c.addresses);
        EXPECT_EQ(item->Ttl, c.ttl);
        EXPECT_EQ(item->Hits, c.hits);
        EXPECT_EQ(item->LastHitDate, c.lastHit);
    }
    ASSERT_TRUE(cache.Lookup("last.line"));
    EXPECT_EQ(cache.Lookup("last.line")->LastHitDate, 9);
    // Every line that made an entry took a fresh id, in order.
    EXPECT_EQ(cache.GetCount(), std::size(cases) + 1);
    EXPECT_EQ(cache.GetNextId(), cache.GetCount());
    EXPECT_EQ(cache.Lookup("only.domain")->Id, 0);
    EXPECT_EQ(cache.Lookup("last.line")->Id, cache.GetCount() - 1);
}

// An import merges: later lines win, case makes different domains, other entries stay, and a
// replaced entry is released.
TEST(CacheFileLoad, MergesIntoTheCacheAndReleasesReplacedEntries) {
    CDnsItemMap cache;
    Add(cache, "kept.example", "9.9.9.9", 1, 1, 1);
    std::weak_ptr<DnsItem> replaced = Add(cache, "a.b", "8.8.8.8", 1, 1, 1);
    Load(cache, "a.b,1.1.1.1,10,1,1\r\nA.b,2.2.2.2,20,2,2\r\na.b,3.3.3.3,30,3,3\r\n");
    EXPECT_EQ(cache.GetCount(), 3);
    EXPECT_TRUE(replaced.expired());
    EXPECT_EQ(cache.Lookup("kept.example")->Addresses.Texts(), Texts{"9.9.9.9"});
    EXPECT_EQ(cache.Lookup("a.b")->Addresses.Texts(), Texts{"3.3.3.3"});
    EXPECT_EQ(cache.Lookup("a.b")->Id, 4);
    EXPECT_EQ(cache.Lookup("A.b")->Ttl, 20);
}

TEST_F(CacheFileTest, SavedBytesAreExactWithCrLf) {
    const std::string path = PathOf("DnsItem.csv");
    WriteBytes(path, std::string(5000, 'x'));
    CDnsItemMap cache;
    ASSERT_TRUE(SaveToFile(cache, path));
    EXPECT_EQ(ReadBytes(path), kHeader);

    Add(cache, "Ab.cde", "1.2.3.4|5.6.7.8", -5, 7, FileTime(3000000000));
    ASSERT_TRUE(SaveToFile(cache, path));
    EXPECT_EQ(ReadBytes(path), std::string(kHeader) + "Ab.cde,1.2.3.4|5.6.7.8,-5,7,3000000000\r\n");
    EXPECT_FALSE(fs::exists(path + ".tmp"));
}

TEST_F(CacheFileTest, SaveThenLoadReproducesEveryEntry) {
    CDnsItemMap saved;
    Add(saved, "ab.cde", "5.6.7.8|1.2.3.4", 300, 12, 1600000000);
    Add(saved, "AB.cde", "9.9.9.9", 0, 0, 1);
    Add(saved, "no.address", "", 60, 2, 1234);
    Add(saved, "empty.first", "|1.1.1.1", 1, 1, FileTime(4000000000));
    const std::string path = PathOf("DnsItem.csv");
    ASSERT_TRUE(SaveToFile(saved, path));

    CDnsItemMap loaded;
    for (int i = 0; i < 10; ++i) {
        loaded.TakeNextId();
    }
    ASSERT_TRUE(LoadFromFile(loaded, path, kNow));
    ASSERT_EQ(loaded.GetCount(), saved.GetCount());
    std::vector<std::int32_t> ids;
    saved.ForEach([&](const std::string& domain, const DnsItemPtr& before) {
        SCOPED_TRACE(domain);
        DnsItemPtr after = loaded.Lookup(domain);
        ASSERT_TRUE(after);
        EXPECT_EQ(after->Addresses.Texts(), before->Addresses.Texts());
        EXPECT_EQ(after->Ttl, before->Ttl);
        EXPECT_EQ(after->Hits, before->Hits);
        EXPECT_EQ(after->LastHitDate, before->LastHitDate);
        ids.push_back(after->Id);
    });
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<std::int32_t>{10, 11, 12, 13}));
}

TEST_F(CacheFileTest, FailedSaveKeepsThePreviousFile) {
    const std::string path = PathOf("DnsItem.csv");
    const std::string previous = std::string(kHeader) + "old.entry,1.2.3.4,1,2,3\r\n";
    WriteBytes(path, previous);
    CDnsItemMap cache;
    Add(cache, "new.entry", "5.6.7.8", 1, 2, 3);

    // The temporary file can't be created (a folder has its name).
    fs::create_directory(path + ".tmp");
    EXPECT_FALSE(SaveToFile(cache, path));
    EXPECT_EQ(ReadBytes(path), previous);
    fs::remove(path + ".tmp");

    // The complete file can't take the old one's place (a folder is in the way).
    const std::string folder = PathOf("folder.csv");
    fs::create_directory(folder);
    fs::create_directory(folder + "/inside");
    EXPECT_FALSE(SaveToFile(cache, folder));
    EXPECT_TRUE(fs::is_directory(folder + "/inside"));
    EXPECT_FALSE(fs::exists(folder + ".tmp"));

    EXPECT_FALSE(SaveToFile(cache, PathOf("no-such-folder/DnsItem.csv")));
}

#ifndef _WIN32
// A write that fails half-way (here: the file size limit, which holds even for root).
TEST_F(CacheFileTest, SaveFailingMidWriteKeepsThePreviousFile) {
    const std::string path = PathOf("DnsItem.csv");
    const std::string previous = std::string(kHeader) + "old.entry,1.2.3.4,1,2,3\r\n";
    WriteBytes(path, previous);
    CDnsItemMap cache;
    for (int i = 0; i < 200; ++i) {
        Add(cache, ("host" + std::to_string(i) + ".example").c_str(), "10.0.0.1|10.0.0.2", 60, i,
            kNow);
    }
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 1000;
    auto* oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool ok = SaveToFile(cache, path);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(ok);
    EXPECT_EQ(ReadBytes(path), previous);
    EXPECT_FALSE(fs::exists(path + ".tmp"));
}
#endif

// A save is one consistent snapshot while the proxy's threads learn and count hits.
TEST_F(CacheFileTest, SaveWhileThreadsLearnAndHit) {
    CDnsItemMap cache;
    CLockedStringList addresses;
    addresses.SplitUnique("10.0.0.1|10.0.0.2", '|');
    DnsItemPtr hot = cache.Learn("hot.example", addresses, 60, kNow);
    std::atomic<bool> stop{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < 3; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; !stop.load(); ++i) {
                cache.Learn("t" + std::to_string(t) + "-" + std::to_string(i % 300) + ".example",
                            addresses, i, kNow + i);
                cache.RecordHit(*hot, kNow + i);
            }
        });
    }
    const std::string path = PathOf("DnsItem.csv");
    for (int i = 0; i < 20; ++i) {
        EXPECT_TRUE(SaveToFile(cache, path));
    }
    stop = true;
    for (std::thread& worker : workers) {
        worker.join();
    }
    CDnsItemMap loaded;
    ASSERT_TRUE(LoadFromFile(loaded, path, 0));
    EXPECT_GT(loaded.GetCount(), 0);
    loaded.ForEach([&](const std::string& domain, const DnsItemPtr& item) {
        EXPECT_EQ(item->Addresses.Texts(), (Texts{"10.0.0.1", "10.0.0.2"})) << domain;
        EXPECT_NE(item->LastHitDate, 0) << domain;
    });
}

}  // namespace
