// Feeds a stream of length-prefixed messages to the framer in pieces whose sizes the input
// chooses, alternating between copying in (Feed) and receiving into its space (Space, Commit).
// Every message must come out exactly as a plain reading of the whole stream finds it, in order,
// the framer must stop at the first bad length and take every byte up to there; anything else
// aborts.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/dns_tcp_framing.h"
#include "fuzz/fuzz_check.h"

namespace {

// The stream read in one go: its whole messages, whether it ends in a bad length, and how many
// bytes a reader takes (up to and including the bad length's prefix, else everything).
struct Reading {
    std::vector<std::span<const std::uint8_t>> Messages;
    bool BadLength = false;
    std::size_t Taken = 0;
};

Reading ReadAtOnce(std::span<const std::uint8_t> stream) {
    Reading reading;
    std::size_t at = 0;
    while (stream.size() - at >= kTcpLengthPrefix) {
        const std::size_t length = std::size_t{stream[at]} << 8 | stream[at + 1];
        if (length < kMinTcpMessage) {
            reading.BadLength = true;
            reading.Taken = at + kTcpLengthPrefix;
            return reading;
        }
        if (stream.size() - at - kTcpLengthPrefix < length) {
            break;
        }
        reading.Messages.push_back(stream.subspan(at + kTcpLengthPrefix, length));
        at += kTcpLengthPrefix + length;
    }
    reading.Taken = stream.size();
    return reading;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    // The first byte chooses the pieces, the rest is the stream.
    const std::uint8_t seed = data[0];
    const std::span<const std::uint8_t> stream(data + 1, size - 1);
    const Reading expected = ReadAtOnce(stream);

    CDnsTcpFramer framer;
    std::uint32_t state = seed;
    const std::size_t largestPiece = std::size_t{seed % 64u} + 1;
    std::size_t at = 0;
    std::size_t found = 0;
    while (at < stream.size()) {
        state = state * 1103515245u + 12345u;
        const std::size_t piece =
            std::min(std::size_t{(state >> 16) % largestPiece} + 1, stream.size() - at);
        std::size_t taken = 0;
        if ((state & 0x100u) != 0) {
            taken = framer.Feed(stream.subspan(at, piece));
        } else {
            const std::span<std::uint8_t> space = framer.Space();
            taken = std::min(space.size(), piece);
            std::copy_n(stream.begin() + static_cast<std::ptrdiff_t>(at), taken, space.begin());
            framer.Commit(taken);
        }
        at += taken;

        const CDnsTcpFramer::Status status = framer.GetStatus();
        if (status == CDnsTcpFramer::Status::kComplete) {
            Check(found < expected.Messages.size(), "a message that the stream does not hold");
            const std::span<const std::uint8_t> want = expected.Messages[found];
            const std::span<const std::uint8_t> message = framer.Message();
            Check(std::equal(message.begin(), message.end(), want.begin(), want.end()),
                  "a message differs");
            const std::span<const std::uint8_t> framed = framer.Framed();
            Check(
                framed.size() == want.size() + kTcpLengthPrefix &&
                    std::equal(message.begin(), message.end(), framed.begin() + kTcpLengthPrefix) &&
                    (std::size_t{framed[0]} << 8 | framed[1]) == want.size(),
                "the framed message is not prefix and message");
            Check(framer.Space().empty(), "space offered past a complete message");
            ++found;
            framer.Next();
            Check(!framer.Started(), "the next message starts with bytes");
        } else if (status == CDnsTcpFramer::Status::kBadLength) {
            Check(framer.Space().empty() && framer.Feed(stream.subspan(at)) == 0,
                  "bytes taken after a bad length");
            break;
        } else {
            Check(taken != 0, "no progress on an incomplete message");
        }
    }
    Check(found == expected.Messages.size(), "messages missing");
    Check((framer.GetStatus() == CDnsTcpFramer::Status::kBadLength) == expected.BadLength,
          "the bad length is not where the stream has it");
    Check(at == expected.Taken, "bytes taken beyond the messages or left behind");
    return 0;
}
