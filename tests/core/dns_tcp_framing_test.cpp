// Length-prefixed messages taken from a stream in pieces of every size: the messages come out
// whole and in order, and bad lengths stop the framer. The fuzz target checks the same against a
// plain reading of arbitrary streams.

#include "core/dns_tcp_framing.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Message(std::size_t length, std::uint8_t fill) {
    Bytes message(length, fill);
    message[0] = static_cast<std::uint8_t>(length);  // tells the messages apart
    return message;
}

Bytes Prefixed(const Bytes& message) {
    Bytes out(2);
    PutTcpLength(std::span(out).first<2>(), message.size());
    out.insert(out.end(), message.begin(), message.end());
    return out;
}

// Feeds `stream` in pieces of `piece` bytes and collects the whole messages.
std::vector<Bytes> Reassemble(const Bytes& stream, std::size_t piece, CDnsTcpFramer& framer) {
    std::vector<Bytes> messages;
    std::span<const std::uint8_t> rest(stream);
    while (!rest.empty()) {
        const std::size_t taken = framer.Feed(rest.first(std::min(piece, rest.size())));
        rest = rest.subspan(taken);
        if (framer.GetStatus() == CDnsTcpFramer::Status::kComplete) {
            messages.emplace_back(framer.Message().begin(), framer.Message().end());
            framer.Next();
        } else if (framer.GetStatus() == CDnsTcpFramer::Status::kBadLength || taken == 0) {
            break;
        }
    }
    return messages;
}

TEST(DnsTcpFramer, MessagesInARowComeOutWholeInWhateverPiecesTheyArrive) {
    const Bytes first = Message(12, 0xA1);
    const Bytes second = Message(300, 0xB2);
    const Bytes third = Message(29, 0xC3);
    Bytes stream = Prefixed(first);
    for (const Bytes* next : {&second, &third}) {
        const Bytes framed = Prefixed(*next);
        stream.insert(stream.end(), framed.begin(), framed.end());
    }
    for (const std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{13},
                                    std::size_t{14}, stream.size()}) {
        CDnsTcpFramer framer;
        EXPECT_EQ(Reassemble(stream, piece, framer), (std::vector<Bytes>{first, second, third}))
            << "pieces of " << piece;
        EXPECT_FALSE(framer.Started());
    }
}

TEST(DnsTcpFramer, ALengthShorterThanAHeaderIsBadAndStopsTheFramer) {
    for (const std::size_t length : {std::size_t{0}, std::size_t{1}, kMinTcpMessage - 1}) {
        CDnsTcpFramer framer;
        Bytes stream = Prefixed(Bytes(length, 0x55));
        stream.resize(stream.size() + 20, 0x66);
        EXPECT_EQ(framer.Feed(stream), 2u) << length;
        EXPECT_EQ(framer.GetStatus(), CDnsTcpFramer::Status::kBadLength);
        EXPECT_TRUE(framer.Space().empty());
        EXPECT_TRUE(framer.Message().empty());
        EXPECT_EQ(framer.Commit(5), CDnsTcpFramer::Status::kBadLength);
    }
}

TEST(DnsTcpFramer, TheLargestLengthIsTakenAndAShortStreamLeavesItIncomplete) {
    CDnsTcpFramer framer;
    const Bytes prefix{0xFF, 0xFF};
    EXPECT_EQ(framer.Feed(prefix), 2u);
    EXPECT_EQ(framer.Space().size(), kMaxTcpMessage);
    EXPECT_EQ(framer.Feed(Bytes(10, 0x01)), 10u);
    EXPECT_EQ(framer.GetStatus(), CDnsTcpFramer::Status::kIncomplete);
    EXPECT_TRUE(framer.Started());
    EXPECT_TRUE(framer.Message().empty());

    // A count beyond the space offered takes only the space.
    EXPECT_EQ(framer.Commit(kMaxTcpMessage * 2), CDnsTcpFramer::Status::kComplete);
    EXPECT_EQ(framer.Message().size(), kMaxTcpMessage);
    EXPECT_EQ(framer.Framed().size(), kMaxTcpMessage + 2);
}

}  // namespace
