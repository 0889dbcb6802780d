#include "core/dns_padding.h"

#include <algorithm>

#include "core/dns_packet.h"
#include "core/dns_wire_reader.h"

namespace {

constexpr std::size_t kPaddingBlock = 128;
constexpr std::uint16_t kPaddingOption = 12;
// The UDP size an added record offers. It has no meaning over HTTPS, but a server that asks
// further over UDP may take it: the size that avoids fragments, never less than a client
// without EDNS takes.
constexpr std::uint16_t kAddedUdpSize = 1232;
// An EDNS record without options: the root owner, type, UDP size, TTL and data length.
constexpr std::size_t kOptFixed = 11;
constexpr std::size_t kOptionHeader = 4;
constexpr std::size_t kQuestionCountOffset = 4;
constexpr std::size_t kAdditionalCountOffset = 10;
constexpr std::uint32_t kExtendedRcodeShift = 24;

struct SectionCounts {
    std::uint16_t Questions = 0;
    std::uint16_t Answers = 0;
    std::uint16_t Authority = 0;
    std::uint16_t Additional = 0;
};

struct RecordView {
    std::size_t Start = 0;
    std::uint16_t Type = 0;
    std::uint16_t Class = 0;
    std::uint32_t Ttl = 0;
    std::size_t DataStart = 0;
    std::uint16_t DataLength = 0;
};

// Reads the counts and leaves the reader behind the questions.
bool ReadHeaderAndQuestions(CDnsWireReader& reader, SectionCounts& counts) {
    if (!reader.Seek(kQuestionCountOffset) || !reader.ReadU16(counts.Questions) ||
        !reader.ReadU16(counts.Answers) || !reader.ReadU16(counts.Authority) ||
        !reader.ReadU16(counts.Additional)) {
        return false;
    }
    for (int i = 0; i < counts.Questions; ++i) {
        CDnsNameText name;
        if (!reader.ReadName(name) || !reader.Skip(4)) {
            return false;
        }
    }
    return true;
}

bool ReadRecord(CDnsWireReader& reader, RecordView& record) {
    record.Start = reader.Position();
    CDnsNameText owner;
    if (!reader.ReadName(owner) || !reader.ReadU16(record.Type) || !reader.ReadU16(record.Class) ||
        !reader.ReadU32(record.Ttl) || !reader.ReadU16(record.DataLength)) {
        return false;
    }
    record.DataStart = reader.Position();
    return reader.Skip(record.DataLength);
}

// Appends the options of an EDNS record's data to `kept`, but for padding; false when they do
// not fill the data exactly.
bool KeepOptionsButPadding(std::span<const std::uint8_t> data, std::vector<std::uint8_t>& kept) {
    CDnsWireReader reader(data);
    while (reader.Position() < reader.Length()) {
        const std::size_t start = reader.Position();
        std::uint16_t code = 0;
        std::uint16_t length = 0;
        if (!reader.ReadU16(code) || !reader.ReadU16(length) || !reader.Skip(length)) {
            return false;
        }
        if (code != kPaddingOption) {
            kept.insert(kept.end(), data.begin() + static_cast<std::ptrdiff_t>(start),
                        data.begin() + static_cast<std::ptrdiff_t>(reader.Position()));
        }
    }
    return true;
}

void AppendU16(std::vector<std::uint8_t>& out, std::size_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

}  // namespace

QueryPadding PadForEncryptedServer(std::vector<std::uint8_t>& query) {
    CDnsWireReader reader(query);
    SectionCounts counts;
    if (!ReadHeaderAndQuestions(reader, counts) || counts.Questions != 1 || counts.Answers != 0 ||
        counts.Authority != 0 || counts.Additional > 1) {
        return QueryPadding::kNone;
    }
    const std::size_t questionEnd = reader.Position();
    std::uint16_t udpSize = kAddedUdpSize;
    std::uint32_t ttl = 0;
    std::vector<std::uint8_t> options;
    if (counts.Additional == 1) {
        RecordView opt;
        if (!ReadRecord(reader, opt) || opt.Type != kTypeOpt || query[questionEnd] != 0 ||
            !KeepOptionsButPadding(std::span(query).subspan(opt.DataStart, opt.DataLength),
                                   options)) {
            return QueryPadding::kNone;
        }
        udpSize = opt.Class;
        ttl = opt.Ttl;
    }
    const std::size_t unpadded = questionEnd + kOptFixed + options.size() + kOptionHeader;
    const std::size_t fill = (kPaddingBlock - unpadded % kPaddingBlock) % kPaddingBlock;
    const std::size_t dataLength = options.size() + kOptionHeader + fill;
    if (reader.Position() != query.size() || unpadded + fill > kMaxDnsMessage) {
        return QueryPadding::kNone;  // bytes behind the records, or no room
    }
    query.resize(questionEnd);
    query[kAdditionalCountOffset] = 0;
    query[kAdditionalCountOffset + 1] = 1;
    query.push_back(0);  // the root
    AppendU16(query, kTypeOpt);
    AppendU16(query, udpSize);
    AppendU16(query, ttl >> 16);
    AppendU16(query, ttl & 0xFFFFU);
    AppendU16(query, dataLength);
    query.insert(query.end(), options.begin(), options.end());
    AppendU16(query, kPaddingOption);
    AppendU16(query, fill);
    query.resize(query.size() + fill, 0);
    return counts.Additional == 1 ? QueryPadding::kPadded : QueryPadding::kOptAdded;
}

std::size_t RemoveReplyOpt(std::span<std::uint8_t> reply) {
    CDnsWireReader reader(reply);
    SectionCounts counts;
    if (!ReadHeaderAndQuestions(reader, counts) || counts.Additional == 0) {
        return reply.size();
    }
    const int records = counts.Answers + counts.Authority + counts.Additional;
    RecordView record;
    for (int i = 0; i < records; ++i) {
        if (!ReadRecord(reader, record)) {
            return reply.size();
        }
    }
    if (record.Type != kTypeOpt || reader.Position() != reply.size() ||
        record.Ttl >> kExtendedRcodeShift != 0) {
        return reply.size();
    }
    const std::uint16_t additional = counts.Additional - 1;
    reply[kAdditionalCountOffset] = static_cast<std::uint8_t>(additional >> 8);
    reply[kAdditionalCountOffset + 1] = static_cast<std::uint8_t>(additional);
    return record.Start;
}
