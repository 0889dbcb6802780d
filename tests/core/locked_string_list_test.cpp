#include "core/locked_string_list.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

using Texts = std::vector<std::string>;

CLockedStringList& Fill(CLockedStringList& list, const Texts& texts) {
    for (const std::string& text : texts) {
        list.AddTail(text);
    }
    return list;
}

TEST(LockedStringList, UniqueListsDropRepeatsOnAddAndCopyButAppendingAListDoesNot) {
    CLockedStringList unique;
    EXPECT_TRUE(unique.AddTail("1.2.3.4"));
    EXPECT_FALSE(unique.AddTail("1.2.3.4"));
    CLockedStringList plain(false);
    Fill(plain, {"a", "b", "a"});
    EXPECT_EQ(plain.GetCount(), 3);

    CLockedStringList appended;
    appended.AddTail(plain);
    EXPECT_EQ(appended.Texts(), (Texts{"a", "b", "a"}));
    CLockedStringList copied;
    copied.AddTail("old");
    copied.Copy(plain);
    EXPECT_EQ(copied.Texts(), (Texts{"a", "b"}));
    copied.Copy(copied);
    EXPECT_EQ(copied.Texts(), (Texts{"a", "b"}));
}

// The adapters' "NameServer" values separate their servers by commas, spaces or bars: with a
// set of separators, the first of the set that the text holds is the separator and the others
// stay inside the tokens. Empty tokens count before a separator only.
TEST(LockedStringList, SplitUniqueAppendsTheTokensNotYetHeld) {
    struct Case {
        const char* text;
        const char* separators;
        Texts expected;
    };
    const Case cases[] = {
        {"1.2.3.4|5.6.7.8|1.2.3.4", "|", {"1.2.3.4", "5.6.7.8"}},
        {"1.2.3.4||5.6.7.8", "|", {"1.2.3.4", "", "5.6.7.8"}},
        {"1.2.3.4|", "|", {"1.2.3.4"}},
        {"|1.2.3.4", "|", {"", "1.2.3.4"}},
        {"", "|", {}},
        {"10.0.0.1 10.0.0.2", ", |", {"10.0.0.1", "10.0.0.2"}},
        {"10.0.0.1, 10.0.0.2 10.0.0.3", ", |", {"10.0.0.1", " 10.0.0.2 10.0.0.3"}},
        {"10.0.0.1 10.0.0.2|10.0.0.3", ", |", {"10.0.0.1", "10.0.0.2|10.0.0.3"}},
        {"10.0.0.1", ", |", {"10.0.0.1"}},
    };
    for (const Case& c : cases) {
        CLockedStringList list;
        const std::string_view separators(c.separators);
        const int appended = separators.size() == 1 ? list.SplitUnique(c.text, separators[0])
                                                    : list.SplitUnique(c.text, separators);
        EXPECT_EQ(appended, static_cast<int>(c.expected.size())) << c.text;
        EXPECT_EQ(list.Texts(), c.expected) << c.text;
    }

    // Only what is appended counts, and a whole text is never repeated, whatever the flag.
    CLockedStringList held;
    held.AddTail("1.1.1.1");
    EXPECT_EQ(held.SplitUnique("1.1.1.1, 2.2.2.2", ','), 1);
    EXPECT_EQ(held.Texts(), (Texts{"1.1.1.1", " 2.2.2.2"}));
    CLockedStringList plain(false);
    plain.AddTail("10.0.0.1");
    EXPECT_EQ(plain.SplitUnique("10.0.0.1", ", |"), 0);
}

// The proxy's in-flight list: many workers append and remove their own domains at once, while
// one check-then-append under the lock must let exactly one of them claim a shared domain.
TEST(LockedStringList, ConcurrentWorkersClaimADomainExactlyOnce) {
    CLockedStringList inFlight;
    constexpr int kThreads = 8;
    constexpr int kRounds = 500;
    std::atomic<int> holders{0};
    std::atomic<int> claims{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            const std::string own = "own" + std::to_string(t) + ".example";
            for (int round = 0; round < kRounds; ++round) {
                inFlight.AddTail(own);
                if (inFlight.AddTail("shared.example")) {
                    EXPECT_EQ(++holders, 1);
                    ++claims;
                    --holders;
                    EXPECT_TRUE(inFlight.RemoveFirst("shared.example"));
                }
                EXPECT_TRUE(inFlight.RemoveFirst(own));
                (void)inFlight.JoinList(',');
            }
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    EXPECT_TRUE(inFlight.IsEmpty());
    EXPECT_GT(claims, 0);
}

// Copy between two lists from two threads in opposite directions must not deadlock: a copy never
// holds both locks at once.
TEST(LockedStringList, CrossCopiesDoNotDeadlock) {
    CLockedStringList left;
    CLockedStringList right;
    Fill(left, {"1", "2", "3"});
    Fill(right, {"4", "5"});
    std::thread toLeft([&] {
        for (int i = 0; i < 2000; ++i) {
            left.Copy(right);
        }
    });
    for (int i = 0; i < 2000; ++i) {
        right.Copy(left);
    }
    toLeft.join();
    for (const Texts& texts : {left.Texts(), right.Texts()}) {
        EXPECT_TRUE(texts == Texts({"1", "2", "3"}) || texts == Texts({"4", "5"}));
    }
}

}  // namespace
