#include "core/locked_string_list.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

using Texts = std::vector<std::string>;

TEST(LockedStringList, UniqueListKeepsOneOfEachText) {
    CLockedStringList list;
    EXPECT_TRUE(list.AddTail("1.2.3.4"));
    EXPECT_FALSE(list.AddTail("1.2.3.4"));
    EXPECT_TRUE(list.AddTail("5.6.7.8"));
    EXPECT_EQ(list.Texts(), (Texts{"1.2.3.4", "5.6.7.8"}));

    CLockedStringList plain(false);
    plain.AddTail("a");
    plain.AddTail("a");
    EXPECT_EQ(plain.GetCount(), 2);
}

TEST(LockedStringList, AddTailOfAListSkipsTheDuplicateTestButCopyDoesNot) {
    CLockedStringList twice(false);
    twice.AddTail("a");
    twice.AddTail("b");
    twice.AddTail("a");

    CLockedStringList appended;
    appended.AddTail(twice);
    EXPECT_EQ(appended.Texts(), (Texts{"a", "b", "a"}));

    CLockedStringList copied;
    copied.AddTail("old");
    copied.Copy(twice);
    EXPECT_EQ(copied.Texts(), (Texts{"a", "b"}));

    copied.Copy(copied);
    EXPECT_EQ(copied.Texts(), (Texts{"a", "b"}));
}

TEST(LockedStringList, FindWalksFromAfterTheGivenPosition) {
    CLockedStringList list(false);
    list.AddTail("x");
    list.AddTail("y");
    list.AddTail("x");
    auto lock = list.Lock();
    auto first = list.Find("x");
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, list.Begin());
    auto second = list.Find("x", first);
    ASSERT_TRUE(second);
    EXPECT_NE(*second, *first);
    EXPECT_FALSE(list.Find("x", second));
    EXPECT_FALSE(list.Find("X"));
}

TEST(LockedStringList, SplitUniqueKeepsEmptyTokensBeforeASeparatorOnly) {
    struct Case {
        const char* text;
        Texts expected;
    };
    const Case cases[] = {
        {"1.2.3.4|5.6.7.8|1.2.3.4", {"1.2.3.4", "5.6.7.8"}},
        {"1.2.3.4||5.6.7.8", {"1.2.3.4", "", "5.6.7.8"}},
        {"1.2.3.4|", {"1.2.3.4"}},
        {"|1.2.3.4", {"", "1.2.3.4"}},
        {"||", {""}},
        {"", {}},
        {"one", {"one"}},
    };
    for (const Case& c : cases) {
        CLockedStringList list;
        EXPECT_EQ(list.SplitUnique(c.text, '|'), static_cast<int>(c.expected.size())) << c.text;
        EXPECT_EQ(list.Texts(), c.expected) << c.text;
    }
}

TEST(LockedStringList, SplitUniqueCountsOnlyTextsItAppends) {
    CLockedStringList list;
    list.AddTail("1.1.1.1");
    EXPECT_EQ(list.SplitUnique("1.1.1.1, 2.2.2.2", ','), 1);
    EXPECT_EQ(list.Texts(), (Texts{"1.1.1.1", " 2.2.2.2"}));
}

// The adapters' "NameServer" values separate their servers by commas, spaces or bars: the first
// of the set that the text holds is the separator, and the others stay inside the tokens.
TEST(LockedStringList, SplitUniqueAtASetCutsAtTheFirstSeparatorOfTheSetThatOccurs) {
    struct Case {
        const char* text;
        Texts expected;
    };
    const Case cases[] = {
        {"10.0.0.1,10.0.0.2", {"10.0.0.1", "10.0.0.2"}},
        {"10.0.0.1 10.0.0.2", {"10.0.0.1", "10.0.0.2"}},
        {"10.0.0.1, 10.0.0.2 10.0.0.3", {"10.0.0.1", " 10.0.0.2 10.0.0.3"}},
        {"10.0.0.1 10.0.0.2|10.0.0.3", {"10.0.0.1", "10.0.0.2|10.0.0.3"}},
        {"10.0.0.1,,10.0.0.1", {"10.0.0.1", ""}},
        {"10.0.0.1", {"10.0.0.1"}},
        {"", {}},
    };
    for (const Case& c : cases) {
        CLockedStringList list;
        EXPECT_EQ(list.SplitUnique(c.text, ", |"), static_cast<int>(c.expected.size())) << c.text;
        EXPECT_EQ(list.Texts(), c.expected) << c.text;
    }

    // A whole text is appended only when the list does not hold it yet, whatever its flag.
    CLockedStringList plain(false);
    plain.AddTail("10.0.0.1");
    EXPECT_EQ(plain.SplitUnique("10.0.0.1", ", |"), 0);
    EXPECT_EQ(plain.GetCount(), 1);
}

TEST(LockedStringList, JoinListPutsSeparatorsOnlyBetweenTexts) {
    CLockedStringList list;
    EXPECT_EQ(list.JoinList('|'), "");
    list.AddTail("1.2.3.4");
    EXPECT_EQ(list.JoinList('|'), "1.2.3.4");
    list.AddTail("5.6.7.8");
    EXPECT_EQ(list.JoinList('|'), "1.2.3.4|5.6.7.8");

    CLockedStringList withEmpty;
    withEmpty.SplitUnique("|a", '|');
    EXPECT_EQ(withEmpty.JoinList('|'), "|a");
}

TEST(LockedStringList, RemovesByPositionAndByText) {
    CLockedStringList list(false);
    for (const char* text : {"a", "b", "a", "c"}) {
        list.AddTail(text);
    }
    EXPECT_TRUE(list.RemoveFirst("a"));
    EXPECT_EQ(list.Texts(), (Texts{"b", "a", "c"}));
    EXPECT_FALSE(list.RemoveFirst("zz"));
    {
        auto lock = list.Lock();
        list.RemoveAt(*list.Find("c"));
    }
    EXPECT_EQ(list.GetHead(), "b");
    list.RemoveAll();
    EXPECT_TRUE(list.IsEmpty());
    EXPECT_FALSE(list.GetHead());
}

// The proxy's in-flight list: many workers append and remove their own domains at once, while
// one check-then-append under the lock must let exactly one of them claim a shared domain.
TEST(LockedStringList, ConcurrentWorkersClaimADomainExactlyOnce) {
    CLockedStringList inFlight;
    constexpr int kThreads = 8;
    constexpr int kRounds = 500;
    std::vector<int> claims(kThreads, 0);
    std::atomic<int> holders{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            const std::string own = "own" + std::to_string(t) + ".example";
            for (int round = 0; round < kRounds; ++round) {
                inFlight.AddTail(own);
                if (inFlight.AddTail("shared.example")) {
                    EXPECT_EQ(++holders, 1);
                    ++claims[static_cast<std::size_t>(t)];
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
    int total = 0;
    for (int count : claims) {
        total += count;
    }
    EXPECT_GT(total, 0);
}

// Copy between two lists from two threads in opposite directions must not deadlock: a copy never
// holds both locks at once.
TEST(LockedStringList, CrossCopiesDoNotDeadlock) {
    CLockedStringList left;
    CLockedStringList right;
    left.SplitUnique("1|2|3", '|');
    right.SplitUnique("4|5", '|');
    std::thread toLeft([&] {
        for (int i = 0; i < 2000; ++i) {
            left.Copy(right);
        }
    });
    std::thread toRight([&] {
        for (int i = 0; i < 2000; ++i) {
            right.Copy(left);
        }
    });
    toLeft.join();
    toRight.join();
    const Texts first{"1", "2", "3"};
    const Texts second{"4", "5"};
    for (const Texts& texts : {left.Texts(), right.Texts()}) {
        EXPECT_TRUE(texts == first || texts == second);
    }
}

}  // namespace
