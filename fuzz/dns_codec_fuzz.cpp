// Feeds arbitrary datagrams to both parsers. A datagram that parses as a query is also answered
// from the cache, as the proxy does, and the answer must parse back as a reply for the same name
// with exactly one address; anything else aborts.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

#include "core/dns_packet.h"
#include "net/address_text.h"

namespace {

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "dns codec: %s\n", what);
        std::abort();
    }
}

// The text that the name reads back as once encoded: the wire form ends at the first empty part.
std::string_view CanonicalName(std::string_view name) {
    for (std::size_t start = 0;;) {
        const std::size_t dot = std::min(name.find('.', start), name.size());
        if (dot == start) {
            return name.substr(0, start == 0 ? 0 : start - 1);
        }
        if (dot == name.size()) {
            return name;
        }
        start = dot + 1;
    }
}

// A label of 192 characters or more gets a length byte that a reader takes for a compression
// pointer, so the answer's pointer to such a question name need not lead to a readable name.
bool LabelsReadAsLabels(std::string_view name) {
    for (std::size_t start = 0; start <= name.size();) {
        const std::size_t dot = std::min(name.find('.', start), name.size());
        if (dot - start >= 0xC0) {
            return false;
        }
        start = dot + 1;
    }
    return true;
}

void AnswerFromCache(std::span<const std::uint8_t> datagram, const std::string& name,
                     std::uint16_t id) {
    Check(name.size() <= kMaxNameText, "query name too long");
    std::array<std::uint8_t, kDnsPacketSize> packet{};
    const std::size_t copied = std::min(datagram.size(), packet.size());
    std::copy_n(datagram.begin(), copied, packet.begin());

    // An address taken from the datagram, so that every address byte value gets tried.
    std::uint32_t raw = 0;
    for (std::size_t i = 0; i < 4 && i < datagram.size(); ++i) {
        raw = raw << 8 | datagram[datagram.size() - 1 - i];
    }
    const std::string address = AddressToText(raw);
    CLockedStringList addresses;
    addresses.AddTail(address);

    const std::size_t length = CDnsResponse::BuildFromCache(packet, name, addresses, id);
    Check(length == kDnsHeaderSize + CDnsPacket::EncodedNameLength(name) + 4 + 16,
          "cached reply length");
    Check(packet[0] == datagram[0] && packet[1] == datagram[1], "cached reply id bytes");

    const std::span<const std::uint8_t> reply(packet.data(), length);
    std::string replyName;
    CLockedStringList replyAddresses;
    std::uint16_t replyId = 0;
    std::uint32_t ttl = 0;
    const int count = CDnsResponse::Parse(reply, replyName, replyAddresses, replyId, ttl);
    const std::string_view expected = CanonicalName(name);

    // The resolver's query for the same name reads back as that name, its id bytes swapped.
    std::array<std::uint8_t, kDnsPacketSize> query{};
    const std::size_t queryLength = CDnsQuery::Build(query, name, id);
    std::string queryName;
    std::uint16_t queryId = 0;
    Check(queryLength > 0 &&
              CDnsQuery::Parse(std::span(query).first(queryLength), queryName, queryId),
          "built query parses");
    Check(queryName == expected, "built query name");
    Check(queryId == static_cast<std::uint16_t>(id << 8 | id >> 8), "built query id");

    if (expected.empty()) {
        Check(count == 0 && replyName.empty(), "cached reply for the root name");
        return;
    }
    if (!LabelsReadAsLabels(expected)) {
        return;
    }
    Check(count == 1, "cached reply address count");
    Check(replyName == expected, "cached reply name");
    Check(replyAddresses.GetHead() == address, "cached reply address");
    Check(ttl == kCachedReplyTtl, "cached reply ttl");
    Check(replyId == (datagram[0] | datagram[1] << 8), "cached reply id");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> datagram(data, size);

    std::string name;
    CLockedStringList addresses;
    std::uint16_t id = 0;
    std::uint32_t ttl = 0;
    const int count = CDnsResponse::Parse(datagram, name, addresses, id, ttl);
    Check(count >= 0 && count <= kMaxAnswersExamined, "reply address count");
    Check(name.size() <= kMaxNameText, "reply name too long");

    std::string queryName;
    std::uint16_t queryId = 0;
    if (CDnsQuery::Parse(datagram, queryName, queryId)) {
        AnswerFromCache(datagram, queryName, queryId);
    }
    return 0;
}
