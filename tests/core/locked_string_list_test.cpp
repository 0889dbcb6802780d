#include "core/locked_string_list.h"

#include <gtest/gtest.h>

#include <mutex>
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

// Copies between two lists in opposite directions on two threads do not deadlock, since a copy
// never holds both locks at once, and each list ends as one whole copy of the other.
TEST(LockedStringList, CrossCopiesOnTwoThreadsDoNotDeadlock) {
    CLockedStringList left;
    CLockedStringList right;
    Fill(left, {"1", "2", "3"});
    Fill(right, {"4", "5"});
    std::thread other([&] {
        for (int i = 0; i < 2000; ++i) {
            left.Copy(right);
        }
    });
    for (int i = 0; i < 2000; ++i) {
        right.Copy(left);
    }
    other.join();
    for (const Texts& texts : {left.Texts(), right.Texts()}) {
        EXPECT_TRUE(texts == Texts({"1", "2", "3"}) || texts == Texts({"4", "5"}));
    }
}

// The list's lock: re-entered by its holder, refused to others while held, and no increment
// lost when two threads each take it (nested) many times.
TEST(LockedStringList, TheLockIsReentrantAndExclusive) {
    CCompactRecursiveMutex mutex;
    long counter = 0;
    auto add = [&] {
        for (int i = 0; i < 100000; ++i) {
            const std::scoped_lock outer(mutex);
            const std::scoped_lock inner(mutex);
            ++counter;
        }
    };
    std::thread other(add);
    add();
    other.join();
    EXPECT_EQ(counter, 200000);
    const std::scoped_lock held(mutex);
    bool taken = true;
    std::thread([&] { taken = mutex.try_lock(); }).join();
    EXPECT_FALSE(taken);
}

}  // namespace
