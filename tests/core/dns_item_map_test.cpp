#include "core/dns_item_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

namespace {

using Texts = std::vector<std::string>;

// A unique address list made from its "|"-joined text.
struct Addresses : CLockedStringList {
    explicit Addresses(const char* joined) { SplitUnique(joined, '|'); }
};

TEST(DnsItemMap, LearnCreatesOrUpdatesAnEntryAndNeverMovesItsLastHitBack) {
    CDnsItemMap cache;
    DnsItemPtr item = cache.Learn("ab.cde", Addresses("1.2.3.4|5.6.7.8"), 300, 2000, 0);
    EXPECT_EQ(cache.Learn("x.y", Addresses("9.9.9.9"), 60, 1000, 0)->Id, 1);
    EXPECT_EQ(item->Id, 0);
    EXPECT_EQ(item->Addresses.Texts(), (Texts{"1.2.3.4", "5.6.7.8"}));
    EXPECT_EQ(item->LastHitDate, 2000);

    // A hit sets the arrival time even when it is earlier.
    cache.RecordHit(*item, 1900);
    EXPECT_EQ(item->Hits, 1);
    EXPECT_EQ(item->LastHitDate, 1900);

    EXPECT_EQ(cache.Learn("ab.cde", Addresses("5.6.7.8|5.6.7.8"), 60, 1500, 0), item);
    EXPECT_EQ(item->Id, 0);
    EXPECT_EQ(item->Hits, 1);
    EXPECT_EQ(item->Addresses.Texts(), (Texts{"5.6.7.8"}));
    EXPECT_EQ(item->Ttl, 60);
    EXPECT_EQ(item->LastHitDate, 1900);
    cache.Learn("ab.cde", Addresses("5.6.7.8"), 60, 3000, 0);
    EXPECT_EQ(item->LastHitDate, 3000);
    EXPECT_EQ(cache.GetNextId(), 2);
}

// A holder of a removed entry (a notification in flight) still has a valid, emptied entry.
TEST(DnsItemMap, RemovedEntriesStayValidForTheirHoldersAndTheCounterStays) {
    CDnsItemMap cache;
    std::weak_ptr<DnsItem> replaced = cache.Learn("a.b", Addresses("9.9.9.9"), 1, 1, 0);
    auto replacement = std::make_shared<DnsItem>();
    replacement->Domain = "a.b";
    replacement->Addresses.AddTail("1.1.1.1");
    cache.SetAt("a.b", replacement);
    EXPECT_TRUE(replaced.expired());
    EXPECT_EQ(cache.Lookup("a.b"), replacement);

    EXPECT_FALSE(cache.RemoveKey("A.b"));
    EXPECT_TRUE(cache.RemoveKey("a.b"));
    EXPECT_EQ(cache.Lookup("a.b"), nullptr);
    EXPECT_TRUE(replacement->Addresses.IsEmpty());
    EXPECT_EQ(replacement->Domain, "a.b");

    DnsItemPtr held = cache.Learn("c.d", Addresses("2.2.2.2"), 1, 1, 0);
    cache.RemoveAll();
    EXPECT_EQ(cache.GetCount(), 0);
    EXPECT_EQ(held->Addresses.Texts(), (Texts{"2.2.2.2"}));
    EXPECT_EQ(cache.GetNextId(), 2);
    cache.ResetNextId();
    EXPECT_EQ(cache.Learn("e.f", Addresses("3.3.3.3"), 1, 1, 0)->Id, 0);
}

// Workers learn and hit entries while the window's thread deletes them and walks the table:
// every entry a worker got back stays usable after its removal, ids are never handed out twice,
// and no hit is lost on an entry that stays in the table.
TEST(DnsItemMap, WorkersAndTheWindowThreadShareTheCacheSafely) {
    CDnsItemMap cache;
    constexpr int kWorkers = 4;
    constexpr int kRounds = 400;
    DnsItemPtr kept = cache.Learn("kept.example", Addresses("9.9.9.9"), 1, 1, 0);
    std::vector<std::thread> threads;
    for (int w = 0; w < kWorkers; ++w) {
        threads.emplace_back([&, w] {
            for (int round = 0; round < kRounds; ++round) {
                const std::string domain = "d" + std::to_string(round % 16) + ".example";
                DnsItemPtr item = cache.Learn(domain, Addresses("1.2.3.4|5.6.7.8"), w, round, 0);
                cache.RecordHit(*item, round);
                EXPECT_LE(item->Addresses.GetCount(), 2);
                (void)item->AddressText();
                if (DnsItemPtr hit = cache.Lookup("kept.example")) {
                    cache.RecordHit(*hit, round);
                }
            }
        });
    }
    threads.emplace_back([&] {
        for (int round = 0; round < kRounds; ++round) {
            cache.RemoveKey("d" + std::to_string(round % 16) + ".example");
            cache.ForEach([](const std::string&, const DnsItemPtr& item) {
                (void)item->Addresses.JoinList('|');
            });
        }
    });
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(kept->Hits, kWorkers * kRounds);
    std::vector<std::int32_t> ids;
    cache.ForEach([&](const std::string&, const DnsItemPtr& item) { ids.push_back(item->Id); });
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end());
}

// At the bound, a new name drops the entry hit (or learned) least recently: of 2,000 names learned
// one after the other under a bound of 1,000, the last 1,000 stay, and those of the first that
// were hit since. Whoever lists the entries hears of it once.
TEST(DnsItemMap, TheBoundKeepsTheEntriesHitLast) {
    CDnsItemMap cache;
    cache.SetMaxEntries(1000);
    const auto name = [](int i) { return "n" + std::to_string(i); };
    for (int i = 0; i < 2000; ++i) {
        if (i == 1000) {
            for (int hit = 0; hit < 1000; hit += 100) {
                cache.RecordHit(*cache.Lookup(name(hit)), 5000);
            }
        }
        cache.Learn(name(i), Addresses("1.2.3.4"), 1, 100 + i, 0);
    }
    EXPECT_EQ(cache.GetCount(), 1000);
    EXPECT_TRUE(cache.TakeEvicted());
    EXPECT_FALSE(cache.TakeEvicted());
    for (int i = 0; i < 2000; ++i) {
        const bool hitAgain = i < 1000 && i % 100 == 0;
        const bool last = i >= 1000 + 10;  // 10 of the last made room for those hit again
        EXPECT_EQ(cache.Lookup(name(i)) != nullptr, hitAgain || last) << i;
    }
    // A bound lowered far below the count (a large file loaded) trims in one go, not one walk
    // of the table per sixteenth of the bound: that took minutes here.
    cache.SetMaxEntries(100000);
    for (int i = 2000; i < 100000; ++i) {
        cache.Learn(name(i), Addresses("1.2.3.4"), 1, 100 + i, 0);
    }
    cache.RecordHit(*cache.Lookup(name(900)), 1000000);
    cache.SetMaxEntries(10);
    EXPECT_EQ(cache.GetCount(), 10);
    EXPECT_TRUE(cache.Lookup(name(900)));
    EXPECT_TRUE(cache.Lookup(name(99999)));
}

// A walk in small steps while another thread adds entries, enough to grow the table: every entry
// that was there before is seen exactly once (after a restart, counted afresh).
TEST(DnsItemMap, AWalkInStepsSeesEveryEntryOnceWhileTheTableGrows) {
    CDnsItemMap cache;
    for (int i = 0; i < 1000; ++i) {
        cache.Learn("old" + std::to_string(i), Addresses("1.2.3.4"), 1, 1, 0);
    }
    std::thread adder([&] {
        for (int i = 0; i < 20000; ++i) {
            cache.Learn("new" + std::to_string(i), Addresses("1.2.3.4"), 1, 1, 0);
        }
    });
    for (int walk = 0; walk < 20; ++walk) {
        std::vector<std::string> seen;
        cache.ForEachInSteps([&](const DnsItemPtr& item) { seen.push_back(item->Domain); },
                             [&] { seen.clear(); }, 16);
        std::sort(seen.begin(), seen.end());
        EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end()), seen.end());
        EXPECT_EQ(
            std::count_if(seen.begin(), seen.end(),
                          [](const std::string& domain) { return domain.starts_with("old"); }),
            1000);
    }
    adder.join();
}

}  // namespace
