#include "core/dns_packet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "tests/support/fake_upstream.h"

namespace {

using qftest::Bytes;
using qftest::Wire;
using Texts = std::vector<std::string>;

// A heap copy of exactly the message's size, so that ASan reports any read past its end.
std::unique_ptr<std::uint8_t[]> HeapCopy(std::span<const std::uint8_t> bytes) {
    auto copy = std::make_unique<std::uint8_t[]>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), copy.get());
    return copy;
}

// Reads a reply from a heap copy of exactly its size, so that ASan sees any overread.
std::optional<DnsReplyFacts> ReadFacts(std::span<const std::uint8_t> bytes) {
    const auto copy = HeapCopy(bytes);
    DnsReplyFacts facts;
    if (!CDnsResponse::ReadReply({copy.get(), bytes.size()}, facts)) {
        return std::nullopt;
    }
    return facts;
}

// [0:12) header, id bytes 34 12; [12:24) question ab.cde; [24:42) a CNAME with TTL 3600 to
// www.ab.cde; [42:58) and [58:74) two A records with TTL 300.
const Bytes kCnameReply = Wire()
                              .Header(0x34, 0x12, 0x81, 0x80, 3)
                              .Question("ab.cde")
                              .Record(5, 3600, {3, 'w', 'w', 'w', 0xC0, 0x0C})
                              .A(300, 10, 0, 0, 1)
                              .A(300, 10, 0, 0, 2)
                              .Get();

// AAAA, MX (exchange compressed), TXT and A records, one address given twice.
const Bytes kMixedReply =
    Wire()
        .Header(0, 1, 0x81, 0x80, 6)
        .Question("ab.cde")
        .Record(28, 60, {0x20, 1, 0xD, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1})
        .A(60, 1, 2, 3, 4)
        .Record(15, 60, {0, 10, 0xC0, 0x0C})
        .Record(16, 60, {5, 'h', 'e', 'l', 'l', 'o'})
        .A(60, 5, 6, 7, 8)
        .A(60, 1, 2, 3, 4)
        .Get();

const Bytes kQuery = Wire().Header(0x12, 0x34, 0x01, 0x20, 0).Question("ab.cde").Get();

using Named = std::pair<std::string, std::size_t>;

// The name at a position and the bytes it occupies there, as the codec reads every name; none
// when the reader refuses it, which leaves its output and its position as they were.
std::optional<Named> NameAt(std::span<const std::uint8_t> message, std::size_t position,
                            bool compressed = true) {
    CDnsWireReader reader(message);
    std::string text = "kept";
    EXPECT_TRUE(reader.Seek(position));
    if (!(compressed ? reader.ReadName(text) : reader.ReadLabels(text))) {
        EXPECT_EQ(text, "kept");
        EXPECT_EQ(reader.Position(), position);
        return std::nullopt;
    }
    return Named(text, reader.Position() - position);
}

DnsQuestion QuestionOf(std::span<const std::uint8_t> query) {
    DnsQuestion question;
    EXPECT_TRUE(CDnsQuery::ReadQuestion(query, question));
    return question;
}

TEST(DnsName, ReadNameFollowsBackwardPointersAndCountsOnlyTheBytesAtItsPosition) {
    // [12:20) ab.cde; [20:26) www + pointer to 12; [26:28) pointer to 20.
    const Bytes message = Wire()
                              .Header(0, 0, 0, 0, 0)
                              .Name("ab.cde")
                              .Raw({3, 'w', 'w', 'w', 0xC0, 12, 0xC0, 20})
                              .Get();
    EXPECT_EQ(NameAt(message, 12), Named("ab.cde", 8));
    EXPECT_EQ(NameAt(message, 20), Named("www.ab.cde", 6));
    EXPECT_EQ(NameAt(message, 26), Named("www.ab.cde", 2));
    // A client writes its question uncompressed, so a pointer byte there is a label length.
    const Bytes question = Wire().Name(std::string(192, 'x')).Get();
    EXPECT_EQ(NameAt(question, 0, false), Named(std::string(192, 'x'), 194));
    EXPECT_FALSE(NameAt(question, 0));
}

TEST(DnsName, BrokenNamesAreRejectedWithoutTouchingTheOutputs) {
    // [0:3) a; [3:5) a pointer to it; then 200 pointers, each to the one before it.
    Bytes chain{1, 'a', 0, 0xC0, 0};
    while (chain.size() < 5 + 2 * 200) {
        const std::size_t previous = chain.size() - 2;
        chain.push_back(static_cast<std::uint8_t>(0xC0 | previous >> 8));
        chain.push_back(static_cast<std::uint8_t>(previous));
    }
    struct Case {
        const char* what;
        Bytes bytes;
        std::size_t start;
    };
    const std::vector<Case> cases{
        {"self pointer", {1, 'a', 0xC0, 2}, 0},
        {"forward pointer", {0xC0, 3, 0, 1, 'a', 0}, 0},
        {"pointer outside", {1, 'a', 0xFF, 0xFF}, 0},
        {"half a pointer", {1, 'a', 0xC0}, 0},
        {"label past the end", {3, 'a', 'b'}, 0},
        {"no zero byte", {1, 'a'}, 0},
        {"backward cycle", {1, 'a', 0xC0, 0}, 0},
        {"endless chain", chain, chain.size() - 2},
    };
    for (const auto& [what, bytes, start] : cases) {
        SCOPED_TRACE(what);
        const auto copy = HeapCopy(bytes);
        const std::span<const std::uint8_t> message(copy.get(), bytes.size());
        EXPECT_FALSE(NameAt(message, start));
        EXPECT_FALSE(start == 0 && NameAt(message, start, false));
    }
    EXPECT_EQ(NameAt(chain, 7), Named("a", 2));  // a short chain is fine
}

TEST(DnsQuery, OnlyWholeQueriesAreRead) {
    const DnsQuestion question = QuestionOf(kQuery);
    EXPECT_EQ(question.Name.View(), "ab.cde");
    EXPECT_EQ(question.Id, 0x1234);
    EXPECT_EQ(question.End, kQuery.size());

    DnsQuestion unread;
    const Bytes response = Wire().Header(0x12, 0x34, 0x81, 0, 0).Question("ab.cde").Get();
    EXPECT_FALSE(CDnsQuery::ReadQuestion(response, unread));
    for (std::size_t size = 0; size < kQuery.size(); ++size) {
        const auto copy = HeapCopy(std::span(kQuery).first(size));
        EXPECT_FALSE(CDnsQuery::ReadQuestion({copy.get(), size}, unread)) << size;
    }
}

// The reply keeps the question as the client wrote it (letter case, type, class), the id and the
// RD and CD bits; it drops the OPT record behind the question and claims no authenticated data.
TEST(DnsResponse, BuildFromCacheEchoesTheQuestionAndAnswersItsTypeOrNothing) {
    const Bytes address6{0x20, 1, 0xD, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    struct Case {
        unsigned type;
        Bytes address;
        Bytes answer;
    };
    const std::vector<Case> cases{
        {1, {10, 0, 0, 1}, Wire().Raw({0xC0, 0x0C}).U16(1).U16(1).U32(86400).U16(4).Get()},
        {28, address6, Wire().Raw({0xC0, 0x0C}).U16(28).U16(1).U32(86400).U16(16).Get()},
        {28, {}, {}},  // the name has no IPv6 address: no answer
    };
    for (const auto& [type, address, answerHead] : cases) {
        SCOPED_TRACE(type);
        const Bytes query = Wire().Header(0x12, 0x34, 0x01, 0xFF, 0).Question("Ab.CDE", type).Get();
        Bytes packet = qftest::WithOptRecord(query);
        const DnsQuestion question = QuestionOf(packet);
        EXPECT_TRUE(question.IsPlainInternetQuery());
        EXPECT_EQ(question.End, query.size());
        packet.resize(kDnsPacketSize);
        const std::size_t length = CDnsResponse::BuildFromCache(packet, question, address);
        const Bytes expected = Wire()
                                   .Header(0x12, 0x34, 0x81, 0x90, address.empty() ? 0 : 1)
                                   .Question("Ab.CDE", type)
                                   .Raw(answerHead)
                                   .Raw(address)
                                   .Get();
        EXPECT_EQ(Bytes(packet.begin(), packet.begin() + std::ptrdiff_t(length)), expected);
        DnsReplyFacts facts;
        ASSERT_TRUE(CDnsResponse::ReadReply(expected, facts));
        EXPECT_EQ(facts.Addresses.size(), address.empty() ? 0u : 1u);
    }

    // As many answers as fit the client's size, with the TTL given.
    Bytes packet = kQuery;
    packet.resize(kDnsPacketSize);
    CCachedReply two(packet, QuestionOf(kQuery), 30, kQuery.size() + 2 * 16);
    EXPECT_TRUE(two.Add(Bytes{1, 2, 3, 4}) && two.Add(Bytes{5, 6, 7, 8}));
    EXPECT_FALSE(two.Add(Bytes{9, 9, 9, 9}));
    packet.resize(two.Finish());
    EXPECT_EQ(packet, Wire()
                          .Header(0x12, 0x34, 0x81, 0x80, 2)
                          .Question("ab.cde")
                          .A(30, 1, 2, 3, 4)
                          .A(30, 5, 6, 7, 8)
                          .Get());

    // A reply that would not fit writes nothing.
    Bytes small = Wire().Header(0, 1, 0x01, 0, 0).Question("ab.cde").Get();
    const DnsQuestion question = QuestionOf(small);
    const Bytes before = small;
    EXPECT_EQ(CDnsResponse::BuildFromCache(small, question, Bytes{1, 2, 3, 4}), 0u);
    EXPECT_EQ(small, before);
}

// Only a standard query with one question of class IN, for a name that reads back as itself, is
// one the cache may answer.
TEST(DnsQuery, OnlyPlainInternetQuestionsAreForTheCache) {
    const auto question = [](int flags, unsigned count, unsigned qclass, const Bytes& name) {
        const Bytes header = Wire().Raw({0, 1, flags, 0}).U16(count).U32(0).U16(0).Get();
        return Wire(header).Raw(name).U16(1).U16(qclass).Get();
    };
    const Bytes plain{2, 'a', 'b', 0};
    EXPECT_TRUE(QuestionOf(question(0x01, 1, 1, plain)).IsPlainInternetQuery());
    EXPECT_FALSE(QuestionOf(question(0x01 | 2 << 3, 1, 1, plain)).IsPlainInternetQuery());
    EXPECT_FALSE(QuestionOf(question(0x01, 2, 1, plain)).IsPlainInternetQuery());
    EXPECT_FALSE(QuestionOf(question(0x01, 1, 3, plain)).IsPlainInternetQuery());  // CHAOS
    EXPECT_FALSE(QuestionOf(question(0x01, 1, 1, {3, 'a', '.', 'b', 0})).IsPlainInternetQuery());
    const Bytes long64 = Wire().Name(std::string(64, 'x')).Get();
    EXPECT_FALSE(QuestionOf(question(0x01, 1, 1, long64)).IsPlainInternetQuery());
    EXPECT_FALSE(QuestionOf(question(0x01, 1, 1, {0})).IsPlainInternetQuery());  // the root
}

// What a reply teaches: the records of its question's type, its response code and TC bit.
TEST(DnsResponse, ReadReplyCollectsTheRecordsOfTheQuestionsType) {
    Bytes mixed6 = kMixedReply;
    mixed6[12 + 8 + 1] = 28;  // the question asks AAAA
    DnsReplyFacts facts;
    ASSERT_TRUE(CDnsResponse::ReadReply(mixed6, facts));
    EXPECT_EQ(facts.Type, 28);
    EXPECT_EQ(facts.Addresses, Texts{"2001:db8::1"});
    ASSERT_TRUE(CDnsResponse::ReadReply(kMixedReply, facts));
    EXPECT_EQ(facts.Addresses, (Texts{"1.2.3.4", "5.6.7.8"}));
    EXPECT_EQ(facts.Rcode, 0);
    EXPECT_FALSE(facts.Truncated);

    const Bytes error = Wire().Header(0, 1, 0x83, 0x83, 0).Question("ab.cde").Get();
    ASSERT_TRUE(CDnsResponse::ReadReply(error, facts));
    EXPECT_EQ(facts.Rcode, 3);
    EXPECT_TRUE(facts.Truncated);
    const Bytes shortAaaa =
        Wire().Header(0, 1, 0x81, 0x80, 1).Question("ab.cde", 28).Record(28, 5, {1, 2, 3, 4}).Get();
    EXPECT_FALSE(CDnsResponse::ReadReply(shortAaaa, facts));
}

TEST(DnsResponse, ReadReplyCollectsTheAddressesAndLargestTtlOfTheFirst20Answers) {
    std::optional<DnsReplyFacts> facts = ReadFacts(kCnameReply);
    ASSERT_TRUE(facts);
    EXPECT_EQ(facts->Name, "ab.cde");
    EXPECT_EQ(facts->Addresses, (Texts{"10.0.0.1", "10.0.0.2"}));
    EXPECT_EQ(facts->Ttl, 3600u);  // the CNAME's TTL counts too
    EXPECT_EQ(facts->MinTtl, 300u);
    EXPECT_EQ(facts->Id, 0x1234);  // as CDnsQuery::Build wrote it

    Wire many;
    many.Header(0, 0, 0x81, 0x80, 25).Question("ab.cde");
    for (int i = 1; i <= 25; ++i) {
        many.A(std::uint32_t(i == 25 ? 99999 : i), 10, 0, 0, i);
    }
    facts = ReadFacts(many.Get());
    ASSERT_TRUE(facts);
    EXPECT_EQ(facts->Addresses.size(), 20u);
    EXPECT_EQ(facts->Addresses.back(), "10.0.0.20");
    EXPECT_EQ(facts->Ttl, 20u);
    EXPECT_EQ(facts->MinTtl, 1u);

    // Without a record of its type, a reply says how long that may be kept with its SOA (RFC
    // 2308): its TTL or its MINIMUM, the smaller, and a CNAME's TTL too. A TTL with the top bit
    // set counts as 0.
    for (const auto& [cnameTtl, soaTtl, minTtl] :
         {std::tuple{600u, 900u, 300u}, {600u, 100u, 100u}, {0x80000000u, 900u, 0u}}) {
        const Bytes nodata = Wire()
                                 .Raw({0, 1, 0x81, 0x80})
                                 .U16(1)
                                 .U16(1)
                                 .U16(1)
                                 .U16(0)
                                 .Question("ab.cde", 28)
                                 .Record(5, cnameTtl, {3, 'w', 'w', 'w', 0xC0, 0x0C})
                                 .Record(6, soaTtl, {0, 0, 0, 0, 0, 1, 0, 0, 0, 2, 0,
                                                     0, 0, 3, 0, 0, 0, 4, 0, 0, 1, 44})
                                 .Get();
        facts = ReadFacts(nodata);
        ASSERT_TRUE(facts);
        EXPECT_EQ(facts->MinTtl, minTtl) << soaTtl;
    }

    // A reply to the root name is no answer about a name.
    EXPECT_FALSE(ReadFacts(Wire().Header(0, 0, 0x81, 0x80, 1).Question("").A(5, 1, 2, 3, 4).Get()));
}

TEST(DnsCodec, NamesUpTo255CharactersFitAndLongerOnesWriteNothing) {
    const std::string label(63, 'a');
    const std::string longest = label + "." + label + "." + label + "." + label;
    const std::string tooLong = longest + "a";
    Bytes out(kDnsPacketSize);
    EXPECT_EQ(CDnsPacket::EncodeName(std::string(255, 'x'), out), 257u);
    EXPECT_EQ(out[0], 255);  // label lengths are not limited to 63
    EXPECT_EQ(CDnsPacket::EncodeName(longest, std::span(out).first(256)), 0u);
    // An empty part ends the name, and nothing is written beyond what is returned.
    out.assign(kDnsPacketSize, 0xEE);
    EXPECT_EQ(CDnsPacket::EncodeName("ab..cde", out), 4u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 5), (Bytes{2, 'a', 'b', 0, 0xEE}));
    const std::size_t length = CDnsQuery::Build(out, longest, 1);
    ASSERT_EQ(length, 12u + 257 + 4);
    const DnsQuestion question = QuestionOf(std::span(out).first(length));
    EXPECT_EQ(question.Name.View(), longest);
    EXPECT_EQ(CDnsResponse::BuildFromCache(out, question, Bytes{1, 2, 3, 4}), length + 16);

    Bytes untouched(kDnsPacketSize, 0xEE);
    EXPECT_EQ(CDnsPacket::EncodeName(tooLong, untouched), 0u);
    EXPECT_EQ(CDnsQuery::Build(untouched, tooLong, 1), 0u);
    EXPECT_EQ(CDnsQuery::Build(std::span(untouched).first(23), "ab.cde", 1), 0u);
    EXPECT_EQ(std::count(untouched.begin(), untouched.end(), 0xEE), std::ptrdiff_t(kDnsPacketSize));

    const Bytes overlong = Wire().Header(0, 0, 0, 0, 0).Question(tooLong).Get();
    DnsQuestion unread;
    EXPECT_FALSE(CDnsQuery::ReadQuestion(overlong, unread));
    EXPECT_FALSE(ReadFacts(overlong));
}

TEST(DnsResponse, ABrokenReplyTeachesNothing) {
    const auto reply = [](std::initializer_list<int> answer, unsigned count = 1) {
        return Wire().Header(0, 0, 0x81, 0x80, count).Question("ab.cde").Raw(answer).Get();
    };
    std::vector<Bytes> broken{
        reply({0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 1, 0, 3, 1, 2, 3}),        // A with 3 bytes
        reply({0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 1, 0, 5, 1, 2, 3, 4, 5}),  // A with 5 bytes
        reply({0xC0, 24, 0, 1, 0, 1, 0, 0, 0, 1, 0, 4, 1, 2, 3, 4}),       // owner points at itself
        reply({0xC0, 30, 0, 1, 0, 1, 0, 0, 0, 1, 0, 4, 1, 2, 3, 4}),       // owner points forward
        reply({0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 1, 0, 4, 1, 2, 3, 4}, 2)};  // one answer missing
    for (const Bytes* whole : {&kCnameReply, &kMixedReply}) {
        for (std::size_t size = 0; size < whole->size(); ++size) {
            broken.emplace_back(whole->begin(), whole->begin() + std::ptrdiff_t(size));
        }
    }
    for (const Bytes& bytes : broken) {
        EXPECT_FALSE(ReadFacts(bytes)) << ::testing::PrintToString(bytes);
    }
}

}  // namespace
