// Feeds arbitrary datagrams to the reply and question readers, the relay's cut of a reply, the
// padding for encrypted servers and the reader of server texts. A datagram that reads as a plain
// A or AAAA question is also answered from the cache, as the proxy does, and the answer must read
// back as a reply to that very question with the address given, or with none, and one with
// several answers must fit the client's size; anything else aborts.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/dns_packet.h"
#include "core/dns_padding.h"
#include "core/upstream_server.h"
#include "fuzz/fuzz_check.h"
#include "net/ip_text.h"

namespace {

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

// The text of the address bytes, as the reply reader gives it.
std::string AddressText(std::span<const std::uint8_t> bytes) {
    return bytes.size() == 4 ? Ipv4Text(bytes.first<4>()) : Ipv6Text(bytes.first<16>());
}

// The resolver's query for the same name reads back as that name, its id bytes swapped.
void CheckBuiltQuery(const std::string& name, std::uint16_t id, std::uint16_t type) {
    std::array<std::uint8_t, kDnsPacketSize> query{};
    const std::size_t queryLength = CDnsQuery::Build(query, name, id, type);
    DnsQuestion question;
    Check(queryLength > 0 && CDnsQuery::ReadQuestion(std::span(query).first(queryLength), question),
          "built query parses");
    Check(question.Name.View() == CanonicalName(name), "built query name");
    Check(question.Type == type && question.Class == kClassIn, "built query type");
    Check(question.Id == static_cast<std::uint16_t>(id << 8 | id >> 8), "built query id");
}

// Answers a plain A or AAAA question from the cache, as the proxy does, with an address taken
// from the datagram so that every byte value gets tried (or with none, for a name without data
// of that type); the reply must read back as an answer to the very question.
void AnswerFromCache(std::span<const std::uint8_t> datagram, const DnsQuestion& question) {
    if (!question.IsPlainInternetQuery() ||
        (question.Type != kTypeA && question.Type != kTypeAaaa)) {
        return;
    }
    std::array<std::uint8_t, kDnsPacketSize> packet{};
    const std::size_t copied = std::min(datagram.size(), packet.size());
    std::copy_n(datagram.begin(), copied, packet.begin());
    std::array<std::uint8_t, 16> bytes{};
    for (std::size_t i = 0; i < bytes.size() && i < datagram.size(); ++i) {
        bytes[i] = datagram[datagram.size() - 1 - i];
    }
    const bool nodata = (datagram.back() & 1) != 0;
    const std::size_t addressLength = nodata ? 0 : question.Type == kTypeA ? 4 : 16;
    const auto address = std::span(bytes).first(addressLength);

    const std::size_t length = CDnsResponse::BuildFromCache(packet, question, address);
    Check(length == question.End + (nodata ? 0 : 12 + addressLength), "cached reply length");
    Check(std::equal(datagram.begin() + 12, datagram.begin() + std::ptrdiff_t(question.End),
                     packet.begin() + 12),
          "cached reply keeps the question");
    Check(packet[0] == datagram[0] && packet[1] == datagram[1], "cached reply id bytes");

    DnsReplyFacts facts;
    Check(CDnsResponse::ReadReply(std::span(packet).first(length), facts), "cached reply reads");
    Check(facts.Name == question.Name.View() && facts.Type == question.Type, "cached question");
    Check(facts.Rcode == kRcodeNoError && !facts.Truncated, "cached reply flags");
    if (nodata) {
        Check(facts.Addresses.empty() && facts.Ttl == 0, "cached reply without data");
    } else {
        Check(facts.Addresses.size() == 1 && facts.Addresses[0] == AddressText(address),
              "cached reply address");
        Check(facts.Ttl == kCachedReplyTtl, "cached reply ttl");
    }

    // As many copies of the address as fit the client's size, each with the TTL given.
    std::copy_n(datagram.begin(), copied, packet.begin());
    CCachedReply many(packet, question, datagram[0], question.UdpSize);
    std::size_t added = 0;
    while (!address.empty() && added < kMaxAnswersExamined && many.Add(address)) {
        ++added;
    }
    const std::size_t manyLength = many.Finish();
    Check(
        manyLength == question.End + added * (12 + addressLength) && manyLength <= question.UdpSize,
        "cached reply fits the client");
    Check(CDnsResponse::ReadReply(std::span(packet).first(manyLength), facts) &&
              facts.MinTtl == (added == 0 ? 0u : datagram[0]),
          "cached reply ttl given");
}

// The relay's cut of a reply too long for its client: a header with TC and no record, and the
// question only when it is the reply's one whole question.
void CheckTruncated(std::span<const std::uint8_t> datagram) {
    std::array<std::uint8_t, kClassicUdpSize> out{};
    const std::size_t length = BuildTruncatedReply(datagram, out);
    if (datagram.size() < kDnsHeaderSize) {
        Check(length == 0, "no header, no cut reply");
        return;
    }
    Check(length >= kDnsHeaderSize && length <= out.size(), "cut reply length");
    Check((out[2] & 0x02) != 0 && out[6] == 0 && out[7] == 0 && out[11] == 0, "cut reply header");
    Check(std::equal(datagram.begin() + 12, datagram.begin() + std::ptrdiff_t(length),
                     out.begin() + 12),
          "cut reply keeps the question");
}

// The padding for an encrypted server: a padded query asks the very question, with the client's
// UDP size and DO bit when it had an EDNS record, at a multiple of 128 bytes; one left unpadded is
// untouched. Taking the EDNS record out of the padded query leaves the query that came, its
// additional count aside.
void CheckPadding(std::span<const std::uint8_t> datagram, const DnsQuestion& asked) {
    std::vector<std::uint8_t> query(datagram.begin(), datagram.end());
    const QueryPadding padding = PadForEncryptedServer(query);
    if (padding == QueryPadding::kNone) {
        Check(std::ranges::equal(query, datagram), "an unpadded query is untouched");
        return;
    }
    DnsQuestion padded;
    Check(query.size() % 128 == 0 && CDnsQuery::ReadQuestion(query, padded) &&
              padded.Name.View() == asked.Name.View() && padded.Type == asked.Type &&
              padded.End == asked.End,
          "a padded query asks the same");
    CDnsQuery::ReadEdns(query, padded);
    Check(padding == QueryPadding::kOptAdded ||
              (padded.UdpSize == asked.UdpSize && padded.DnssecOk == asked.DnssecOk),
          "a padded query keeps the client's EDNS");
    if (padding == QueryPadding::kOptAdded) {
        const std::size_t length = RemoveReplyOpt(query);
        Check(length == datagram.size() &&
                  std::equal(query.begin(), query.begin() + 10, datagram.begin()),
              "the added record comes out whole");
    }
}

// A server text from the bytes: one that reads gives an address whose text reads back alike.
void CheckServerText(std::span<const std::uint8_t> datagram) {
    const std::string text(datagram.begin(), datagram.end());
    std::string reason;
    const std::optional<CSocketAddress> address = ParseUpstreamServer(text, reason);
    Check(address.has_value() == reason.empty(), "a server text reads or says why not");
    if (address) {
        Check(CSocketAddress::FromText(address->AddressText(), address->Port()) == address,
              "server address text");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> datagram(data, size);

    CheckTruncated(datagram);
    CheckServerText(datagram);
    DnsReplyFacts facts;
    if (CDnsResponse::ReadReply(datagram, facts)) {
        Check(!ReplyAnswersQuestion(datagram, facts.Name, facts.Type, facts.Class) ||
                  (datagram[2] & 0x80) != 0,
              "only a response answers");
        Check(!facts.Name.empty() && facts.Name.size() <= kMaxNameText, "reply name");
        Check(facts.Addresses.size() <= kMaxAnswersExamined, "reply record count");
        for (const std::string& address : facts.Addresses) {
            Check(facts.Type == kTypeA ? ParseIpv4Text(address).has_value()
                                       : CanonicalIpv6Text(address) == address,
                  "reply address text");
        }
    }

    DnsQuestion question;
    if (CDnsQuery::ReadQuestion(datagram, question)) {
        Check(question.End <= size && question.Name.View().size() <= kMaxNameText,
              "question bounds");
        Check(!ReplyAnswersQuestion(datagram, question.Name.View(), question.Type, question.Class),
              "a query answers nothing");
        CDnsQuery::ReadEdns(datagram, question);
        Check(question.UdpSize >= kClassicUdpSize && question.UdpSize <= 65535, "EDNS size");
        const std::string queryName(question.Name.View());
        CheckBuiltQuery(queryName, question.Id, question.Type);
        AnswerFromCache(datagram, question);
        CheckPadding(datagram, question);
    }
    std::vector<std::uint8_t> reply(datagram.begin(), datagram.end());
    Check(RemoveReplyOpt(reply) <= size, "a reply only loses bytes");
    return 0;
}
