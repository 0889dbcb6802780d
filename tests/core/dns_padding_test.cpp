#include "core/dns_padding.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/dns_packet.h"
#include "tests/support/fake_upstream.h"

namespace {

using qftest::Bytes;
using qftest::Wire;

unsigned U16At(const Bytes& bytes, std::size_t at) {
    return static_cast<unsigned>(bytes.at(at)) << 8U | bytes.at(at + 1);
}

struct PaddedOpt {
    unsigned UdpSize = 0;
    std::uint32_t Ttl = 0;
    // Every option but the padding, as they stand on the wire.
    Bytes Kept;
};

// The EDNS record that a padded query holds at `at`, behind its question, as its one additional
// record; its padding must come last, all zeros, and end the query.
PaddedOpt ReadPaddedOpt(const Bytes& query, std::size_t at) {
    EXPECT_EQ(U16At(query, 10), 1U);
    EXPECT_EQ(Bytes(query.begin() + std::ptrdiff_t(at), query.begin() + std::ptrdiff_t(at + 3)),
              (Bytes{0, 0, 41}));
    EXPECT_EQ(at + 11 + U16At(query, at + 9), query.size());
    PaddedOpt opt{.UdpSize = U16At(query, at + 3),
                  .Ttl = U16At(query, at + 5) << 16U | U16At(query, at + 7),
                  .Kept = {}};
    std::size_t option = at + 11;
    while (option + 4 <= query.size() && U16At(query, option) != 12) {
        const std::size_t next = std::min(option + 4 + U16At(query, option + 2), query.size());
        opt.Kept.insert(opt.Kept.end(), query.begin() + std::ptrdiff_t(option),
                        query.begin() + std::ptrdiff_t(next));
        option = next;
    }
    EXPECT_EQ(U16At(query, option), 12U);
    EXPECT_EQ(option + 4 + U16At(query, option + 2), query.size());
    EXPECT_TRUE(std::all_of(query.begin() + std::ptrdiff_t(option + 4), query.end(),
                            [](std::uint8_t byte) { return byte == 0; }));
    return opt;
}

Bytes WithOptions(Bytes query, std::uint32_t ttl, const Bytes& options) {
    query[11] = 1;
    return Wire(std::move(query))
        .Raw({0, 0, 41})
        .U16(4096)
        .U32(ttl)
        .U16(unsigned(options.size()))
        .Raw(options)
        .Get();
}

const Bytes kCookie = {0, 10, 0, 8, 1, 2, 3, 4, 5, 6, 7, 8};

TEST(QueryPadding, EveryQueryGoesOutAtAMultipleOf128KeepingWhatItAsked) {
    const std::string longName = std::string(63, 'a') + "." + std::string(63, 'b') + ".example";
    const Bytes padding = {0, 12, 0, 3, 0, 0, 0};
    struct Case {
        const char* Label;
        Bytes Query;
        QueryPadding Expected;
        unsigned UdpSize;
        std::uint32_t Ttl;
        Bytes Kept;
    };
    const std::vector<Case> cases = {
        {"no EDNS", qftest::MakeQuery("www.example.com", 7), QueryPadding::kOptAdded, 1232, 0, {}},
        {"long name",
         qftest::MakeQuery(longName, 7, kTypeAaaa),
         QueryPadding::kOptAdded,
         1232,
         0,
         {}},
        {"EDNS with DO and a cookie",
         WithOptions(qftest::MakeQuery("a.example", 7), 0x8000, kCookie), QueryPadding::kPadded,
         4096, 0x8000, kCookie},
        {"padded already",
         WithOptions(qftest::MakeQuery("a.example", 7), 0, padding),
         QueryPadding::kPadded,
         4096,
         0,
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Label);
        Bytes query = c.Query;
        DnsQuestion asked;
        ASSERT_TRUE(CDnsQuery::ReadQuestion(c.Query, asked));
        EXPECT_EQ(PadForEncryptedServer(query), c.Expected);
        EXPECT_EQ(query.size() % 128, 0U);
        // The header but its additional count, and the question, stay byte for byte.
        EXPECT_TRUE(std::equal(c.Query.begin(), c.Query.begin() + 10, query.begin()));
        EXPECT_TRUE(std::equal(c.Query.begin() + 12, c.Query.begin() + std::ptrdiff_t(asked.End),
                               query.begin() + 12));
        const PaddedOpt opt = ReadPaddedOpt(query, asked.End);
        EXPECT_EQ(opt.UdpSize, c.UdpSize);
        EXPECT_EQ(opt.Ttl, c.Ttl);
        EXPECT_EQ(opt.Kept, c.Kept);
    }
}

// A query's header, id 7 and RD set, with the given answer and additional counts.
Wire QueryHeader(unsigned answers, unsigned additional) {
    return Wire().U16(7).Raw({0x01, 0}).U16(1).U16(answers).U16(0).U16(additional);
}

TEST(QueryPadding, WhatIsNotOneQuestionWithAtMostAnEdnsRecordGoesAsItCame) {
    const Bytes query = qftest::MakeQuery("a.example", 7);
    const auto opt = [](Wire wire) { return wire.Raw({0, 0, 41}).U16(1232).U32(0); };
    const std::vector<std::pair<const char*, Bytes>> cases = {
        {"an answer", QueryHeader(1, 0).Question("a.example").A(60, 1, 2, 3, 4).Get()},
        {"a signature behind the EDNS record", opt(QueryHeader(0, 2).Question("a.example"))
                                                   .U16(0)
                                                   .Name("key")
                                                   .U16(250)
                                                   .U16(255)
                                                   .U32(0)
                                                   .U16(2)
                                                   .Raw({0, 0})
                                                   .Get()},
        {"another record",
         QueryHeader(0, 1).Question("a.example").Name("x").U16(1).U16(1).U32(0).U16(0).Get()},
        {"bytes behind the record", Wire(qftest::WithOptRecord(query)).Raw({0}).Get()},
        {"an option past the data", WithOptions(query, 0, {0, 10, 0, 9, 1})},
        {"cut in the question", Bytes(query.begin(), query.end() - 3)},
    };
    for (const auto& [label, message] : cases) {
        SCOPED_TRACE(label);
        Bytes padded = message;
        EXPECT_EQ(PadForEncryptedServer(padded), QueryPadding::kNone);
        EXPECT_EQ(padded, message);
    }
}

TEST(ReplyOpt, TakenOutOnlyWhenItIsTheLastRecordAndCarriesNoExtendedCode) {
    const auto replyWith = [](unsigned additional) {
        return Wire()
            .Raw({0, 7, 0x81, 0x80})
            .U16(1)
            .U16(1)
            .U16(0)
            .U16(additional)
            .Question("a.example")
            .A(60, 1, 2, 3, 4);
    };
    const Bytes reply = replyWith(0).Get();
    const auto withOpt = [&](std::uint32_t ttl, const Bytes& behind) {
        return replyWith(behind.empty() ? 1 : 2)
            .Raw({0, 0, 41})
            .U16(1232)
            .U32(ttl)
            .U16(6)
            .Raw({0, 12, 0, 2, 0, 0})
            .Raw(behind)
            .Get();
    };
    Bytes taken = withOpt(0x8000, {});
    ASSERT_EQ(RemoveReplyOpt(taken), reply.size());
    EXPECT_EQ(Bytes(taken.begin(), taken.begin() + std::ptrdiff_t(reply.size())), reply);

    // Cut in the record's data: the additional count still names it.
    Bytes cut = withOpt(0, {});
    cut.pop_back();
    const Bytes record = Wire().Name("x").U16(1).U16(1).U32(0).U16(0).Get();
    const std::vector<std::pair<const char*, Bytes>> kept = {
        {"no EDNS record", reply},
        {"a record behind it", withOpt(0, record)},
        {"an extended response code", withOpt(0x01000000, {})},
        {"cut in the record", cut},
    };
    for (const auto& [label, message] : kept) {
        SCOPED_TRACE(label);
        Bytes copy = message;
        EXPECT_EQ(RemoveReplyOpt(copy), message.size());
        EXPECT_EQ(copy, message);
    }
}

}  // namespace
