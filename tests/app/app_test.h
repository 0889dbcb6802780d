#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/dns_cache.h"
#include "tests/support/fake_upstream.h"
#include "tests/support/test_environment.h"
#include "tests/win/gui_test_support.h"
#include "win/controls.h"

using Texts = std::vector<std::string>;

inline std::string TempPath(const std::string& name) {
    char folder[MAX_PATH] = {};
    ::GetTempPathA(MAX_PATH, folder);
    return std::string(folder) + name;
}

// One column's cells of a list view, top row first.
inline Texts ListTexts(HWND list, int column = 0) {
    Texts cells;
    for (int row = 0; row < CListView(list).GetItemCount(); ++row) {
        cells.push_back(CListView(list).GetItemText(row, column));
    }
    return cells;
}

// Every lookup of the test goes to a fake upstream on loopback, never to the public default.
// `InFlight` counts the lookups of the code under test that have not ended: one that a test let
// go must not outlive the fake upstream.
template <int (*InFlight)()>
class UpstreamTest : public ::testing::Test {
protected:
    void SetUp() override { qftest::PointUpstreamAt(settings, {upstream.Port()}); }
    void TearDown() override {
        EXPECT_TRUE(PumpUntil([] { return InFlight() == 0; }, 5000));
    }

    qftest::FakeUpstream upstream;
    // Pointed at the fake: what the code under test asks.
    qftest::CSinkUpstream settings;
};
