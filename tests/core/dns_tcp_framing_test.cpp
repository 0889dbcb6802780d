// The framer's edges that its fuzz target, which checks every stream against a plain reading of
// it, does not reach: what it does with calls beyond the space it offers.

#include "core/dns_tcp_framing.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(DnsTcpFramer, ABadLengthStopsTheFramerAndACommitTakesNoMoreThanTheSpace) {
    CDnsTcpFramer bad;
    EXPECT_EQ(bad.Feed(Bytes{0, 11, 1, 2, 3}), 2u);  // 11 bytes: shorter than a header
    EXPECT_EQ(bad.GetStatus(), CDnsTcpFramer::Status::kBadLength);
    EXPECT_TRUE(bad.Space().empty());
    EXPECT_EQ(bad.Commit(5), CDnsTcpFramer::Status::kBadLength);
    EXPECT_TRUE(bad.Message().empty());

    CDnsTcpFramer framer;
    EXPECT_EQ(framer.Feed(Bytes{0xFF, 0xFF}), 2u);
    EXPECT_EQ(framer.Space().size(), kMaxTcpMessage);
    EXPECT_EQ(framer.Commit(kMaxTcpMessage * 2), CDnsTcpFramer::Status::kComplete);
    EXPECT_EQ(framer.Message().size(), kMaxTcpMessage);
    EXPECT_EQ(framer.Framed().size(), kMaxTcpMessage + 2);
}

}  // namespace
