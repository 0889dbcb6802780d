#include "core/dns_packet.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "net/address_text.h"
#include "net/ip_text.h"

namespace {

// Header flag bytes.
constexpr std::uint8_t kQr = 0x80;
constexpr std::uint8_t kOpcodeMask = 0x78;
constexpr int kOpcodeShift = 3;
constexpr std::uint8_t kTc = 0x02;
constexpr std::uint8_t kRd = 0x01;
constexpr std::uint8_t kRa = 0x80;
constexpr std::uint8_t kCd = 0x10;
constexpr std::uint8_t kRcodeMask = 0x0F;

constexpr std::size_t kFlagsOffset = 2;
constexpr std::size_t kQuestionCountOffset = 4;
constexpr std::size_t kAnswerCountOffset = 6;
constexpr std::uint32_t kDnssecOkBit = 0x8000;
// Type and class behind a question name.
constexpr std::size_t kQuestionTail = 4;
// The fixed part of a cached answer: a pointer to the question name at offset 12, type, class,
// TTL and data length.
constexpr std::size_t kCachedAnswerFixed = 12;
constexpr std::uint16_t kPointerToQuestion = 0xC000 | kDnsHeaderSize;
constexpr std::size_t kIpv4Length = 4;
constexpr std::size_t kIpv6Length = 16;
// The longest label a name may have on the wire (RFC 1035); a longer length byte could read as
// a compression pointer.
constexpr std::size_t kMaxLabel = 63;

// Writes big-endian fields at increasing offsets of a buffer whose size the caller has checked.
class CFieldWriter {
public:
    explicit CFieldWriter(std::span<std::uint8_t> out) : m_out(out) {}

    void U8(std::uint8_t value) { m_out[m_at++] = value; }
    void U16(std::uint16_t value) {
        U8(static_cast<std::uint8_t>(value >> 8));
        U8(static_cast<std::uint8_t>(value));
    }
    void U32(std::uint32_t value) {
        U16(static_cast<std::uint16_t>(value >> 16));
        U16(static_cast<std::uint16_t>(value));
    }
    void Bytes(std::span<const std::uint8_t> bytes) {
        std::copy(bytes.begin(), bytes.end(), m_out.subspan(m_at, bytes.size()).begin());
        m_at += bytes.size();
    }
    void Name(std::string_view name) { m_at += CDnsPacket::EncodeName(name, m_out.subspan(m_at)); }
    // The header after the two id bytes: the flag bytes and the four counts.
    void HeaderTail(std::uint8_t flags, std::uint8_t flags2, std::uint16_t answers,
                    std::uint16_t additional = 0) {
        U8(flags);
        U8(flags2);
        U16(1);  // QDCOUNT
        U16(answers);
        U16(0);  // NSCOUNT
        U16(additional);
    }

    [[nodiscard]] std::size_t Written() const { return m_at; }

private:
    std::span<std::uint8_t> m_out;
    std::size_t m_at = 0;
};

char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The text of an A or AAAA record's data.
std::string AddressDataText(std::span<const std::uint8_t> data) {
    return data.size() == kIpv4Length ? Ipv4Text(data.first<kIpv4Length>())
                                      : Ipv6Text(data.first<kIpv6Length>());
}

// A TTL as a record's expiry takes it: one with the top bit set counts as 0 (RFC 2181).
std::uint32_t SaneTtl(std::uint32_t ttl) {
    constexpr std::uint32_t kLargestTtl = 0x7FFFFFFF;
    return ttl > kLargestTtl ? 0 : ttl;
}

// Steps over one answer record, collecting its address when it is of `type` (A or AAAA). False
// when the record does not lie inside the message.
bool ReadAnswer(CDnsWireReader& reader, std::uint16_t type, DnsReplyFacts& facts) {
    // The owner name is not compared with the question: a CNAME chain's end has its own.
    std::string owner;
    std::uint16_t recordType = 0;
    std::uint16_t recordClass = 0;
    std::uint32_t recordTtl = 0;
    std::uint16_t dataLength = 0;
    if (!reader.ReadName(owner) || !reader.ReadU16(recordType) || !reader.ReadU16(recordClass) ||
        !reader.ReadU32(recordTtl) || !reader.ReadU16(dataLength)) {
        return false;
    }
    facts.Ttl = std::max(facts.Ttl, recordTtl);
    facts.MinTtl = std::min(facts.MinTtl, SaneTtl(recordTtl));
    const bool wanted = recordType == type && (type == kTypeA || type == kTypeAaaa);
    if (!wanted) {
        return reader.Skip(dataLength);
    }
    std::array<std::uint8_t, kIpv6Length> data{};
    const std::size_t expected = type == kTypeA ? kIpv4Length : kIpv6Length;
    if (dataLength != expected || !reader.ReadBytes(std::span(data).first(expected))) {
        return false;
    }
    std::string text = AddressDataText(std::span(data).first(expected));
    if (std::find(facts.Addresses.begin(), facts.Addresses.end(), text) == facts.Addresses.end()) {
        facts.Addresses.push_back(std::move(text));
    }
    return true;
}

// How long a reply without records of its question's type may be kept (RFC 2308): the smaller of
// the SOA record's TTL and its MINIMUM field (the data's last four bytes), the SOA being the
// first in the authority section; none without one, or when the records before it do not read.
// `reader` stands behind the examined answers; `answersLeft` more come before the authority.
std::optional<std::uint32_t> NegativeTtl(CDnsWireReader reader, int answersLeft,
                                         int authorityCount) {
    constexpr std::uint16_t kTypeSoa = 6;
    for (int i = 0; i < answersLeft + authorityCount; ++i) {
        CDnsNameText owner;
        std::uint16_t type = 0;
        std::uint16_t recordClass = 0;
        std::uint32_t ttl = 0;
        std::uint16_t length = 0;
        if (!reader.ReadName(owner) || !reader.ReadU16(type) || !reader.ReadU16(recordClass) ||
            !reader.ReadU32(ttl) || !reader.ReadU16(length)) {
            return std::nullopt;
        }
        std::uint32_t minimum = 0;
        if (i >= answersLeft && type == kTypeSoa) {
            return length >= sizeof minimum && reader.Skip(length - sizeof minimum) &&
                           reader.ReadU32(minimum)
                       ? std::optional(std::min(ttl, minimum))
                       : std::nullopt;
        }
        if (!reader.Skip(length)) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

// Calls visit with each "."-separated part of the text up to the first empty one: the labels that
// go on the wire. An empty part would be a zero length byte, the end of the name.
template <typename Visit>
void ForEachLabel(std::string_view name, Visit visit) {
    for (std::size_t start = 0; start < name.size();) {
        const std::size_t dot = std::min(name.find('.', start), name.size());
        if (dot == start) {
            return;
        }
        visit(name.substr(start, dot - start));
        start = dot + 1;
    }
}

}  // namespace

bool IsTruncatedReply(std::span<const std::uint8_t> message) {
    return message.size() > kFlagsOffset && (message[kFlagsOffset] & kTc) != 0;
}

std::size_t CDnsPacket::EncodedNameLength(std::string_view name) noexcept {
    if (name.size() > kMaxNameText) {
        return 0;
    }
    std::size_t length = 0;
    ForEachLabel(name, [&](std::string_view label) { length += 1 + label.size(); });
    return length + 1;
}

std::size_t CDnsPacket::EncodeName(std::string_view name, std::span<std::uint8_t> out) noexcept {
    const std::size_t length = EncodedNameLength(name);
    if (length == 0 || length > out.size()) {
        return 0;
    }
    std::size_t at = 0;
    ForEachLabel(name, [&](std::string_view label) {
        // The text has at most 255 characters, so every label length fits its byte.
        out[at++] = static_cast<std::uint8_t>(label.size());
        for (char c : label) {
            out[at++] = static_cast<std::uint8_t>(c);
        }
    });
    out[at++] = 0;
    return at;
}

std::size_t CDnsQuery::Build(std::span<std::uint8_t> out, std::string_view name, std::uint16_t id,
                             std::uint16_t type, std::uint16_t ednsSize) {
    // An EDNS record: the root's empty name, type OPT, the size as its class, TTL and length 0.
    constexpr std::size_t kOptLength = 11;
    const std::size_t nameLength = EncodedNameLength(name);
    const std::size_t length =
        kDnsHeaderSize + nameLength + kQuestionTail + (ednsSize != 0 ? kOptLength : 0);
    if (nameLength == 0 || length > out.size()) {
        return 0;
    }
    CFieldWriter writer(out);
    writer.U8(static_cast<std::uint8_t>(id));
    writer.U8(static_cast<std::uint8_t>(id >> 8));
    writer.HeaderTail(kRd, 0, 0, ednsSize != 0 ? 1 : 0);
    writer.Name(name);
    writer.U16(type);
    writer.U16(kClassIn);
    if (ednsSize != 0) {
        writer.U8(0);
        writer.U16(kTypeOpt);
        writer.U16(ednsSize);
        writer.U16(0);
        writer.U16(0);
        writer.U16(0);
    }
    return writer.Written();
}

bool DnsQuestion::IsPlainInternetQuery() const noexcept {
    return Opcode == 0 && QuestionCount == 1 && Class == kClassIn && Name.Labels() > 0 &&
           Name.LabelsAreDotFree() && Name.LongestLabel() <= kMaxLabel;
}

bool CDnsQuery::ReadQuestion(std::span<const std::uint8_t> datagram,
                             DnsQuestion& question) noexcept {
    CDnsWireReader reader(datagram);
    std::uint8_t flags = 0;
    std::uint8_t flags2 = 0;
    std::uint16_t answers = 0;
    if (!reader.ReadU16(question.Id) || !reader.ReadU8(flags) || !reader.ReadU8(flags2) ||
        !reader.ReadU16(question.QuestionCount) || !reader.ReadU16(answers) ||
        !reader.Seek(kDnsHeaderSize) || (flags & kQr) != 0 || !reader.ReadLabels(question.Name) ||
        !reader.ReadU16(question.Type) || !reader.ReadU16(question.Class)) {
        return false;
    }
    question.Opcode = static_cast<std::uint8_t>((flags & kOpcodeMask) >> kOpcodeShift);
    question.CheckingDisabled = (flags2 & kCd) != 0;
    question.End = reader.Position();
    return true;
}

void CDnsQuery::ReadEdns(std::span<const std::uint8_t> datagram, DnsQuestion& question) noexcept {
    CDnsWireReader reader(datagram);
    std::array<std::uint16_t, 3> counts{};  // answers, authority, additional
    if (!reader.Seek(kAnswerCountOffset) || !reader.ReadU16(counts[0]) ||
        !reader.ReadU16(counts[1]) || !reader.ReadU16(counts[2]) || !reader.Seek(question.End)) {
        return;
    }
    const int records = counts[0] + counts[1] + counts[2];
    for (int i = 0; i < records; ++i) {
        CDnsNameText owner;
        std::uint16_t type = 0;
        std::uint16_t payloadSize = 0;
        std::uint32_t ttl = 0;
        std::uint16_t dataLength = 0;
        if (!reader.ReadName(owner) || !reader.ReadU16(type) || !reader.ReadU16(payloadSize) ||
            !reader.ReadU32(ttl) || !reader.ReadU16(dataLength) || !reader.Skip(dataLength)) {
            return;
        }
        if (type == kTypeOpt && i >= counts[0] + counts[1]) {
            question.UdpSize = std::max<std::size_t>(kClassicUdpSize, payloadSize);
            question.DnssecOk = (ttl & kDnssecOkBit) != 0;
            question.Edns = true;
            return;
        }
    }
}

std::uint8_t ReplyRcode(std::span<const std::uint8_t> message) {
    return message.size() > kFlagsOffset + 1 ? message[kFlagsOffset + 1] & kRcodeMask : 0;
}

bool ReplyAnswersQuestion(std::span<const std::uint8_t> reply, std::string_view name,
                          std::uint16_t type, std::uint16_t qclass) {
    CDnsWireReader reader(reply);
    std::uint8_t flags = 0;
    std::uint16_t questions = 0;
    CDnsNameText replyName;
    std::uint16_t replyType = 0;
    std::uint16_t replyClass = 0;
    if (!reader.Seek(kFlagsOffset) || !reader.ReadU8(flags) || (flags & kQr) == 0 ||
        !reader.Seek(kQuestionCountOffset) || !reader.ReadU16(questions) || questions != 1 ||
        !reader.Seek(kDnsHeaderSize) || !reader.ReadLabels(replyName) ||
        !reader.ReadU16(replyType) || !reader.ReadU16(replyClass)) {
        return false;
    }
    const std::string_view replied = replyName.View();
    return replyType == type && replyClass == qclass && replied.size() == name.size() &&
           std::equal(replied.begin(), replied.end(), name.begin(),
                      [](char a, char b) { return AsciiLower(a) == AsciiLower(b); });
}

std::size_t BuildTruncatedReply(std::span<const std::uint8_t> reply, std::span<std::uint8_t> out) {
    if (reply.size() < kDnsHeaderSize || out.size() < kDnsHeaderSize) {
        return 0;
    }
    CDnsWireReader reader(reply);
    CDnsNameText name;
    std::uint16_t questions = 0;
    std::size_t kept = kDnsHeaderSize;
    if (reader.Seek(kQuestionCountOffset) && reader.ReadU16(questions) && questions == 1 &&
        reader.Seek(kDnsHeaderSize) && reader.ReadLabels(name) && reader.Skip(kQuestionTail) &&
        reader.Position() <= out.size()) {
        kept = reader.Position();
    } else {
        questions = 0;
    }
    std::copy_n(reply.begin(), kept, out.begin());
    out[kFlagsOffset] |= kTc;
    CFieldWriter counts(out.subspan(kQuestionCountOffset));
    counts.U16(questions);
    counts.U16(0);
    counts.U16(0);
    counts.U16(0);
    return kept;
}

bool CCachedReply::Add(std::span<const std::uint8_t> address) noexcept {
    const std::size_t at = m_length == 0 ? m_end : m_length;
    if (at < kDnsHeaderSize || at + kCachedAnswerFixed + address.size() > m_packet.size()) {
        return false;
    }
    CFieldWriter answer(m_packet.subspan(at));
    answer.U16(kPointerToQuestion);
    answer.U16(m_type);
    answer.U16(kClassIn);
    answer.U32(m_ttl);
    answer.U16(static_cast<std::uint16_t>(address.size()));
    answer.Bytes(address);
    m_length = at + answer.Written();
    ++m_answers;
    return true;
}

std::size_t CCachedReply::Finish() noexcept {
    if (m_end < kDnsHeaderSize || m_end > m_packet.size()) {
        return 0;
    }
    // The bytes read from the query; the buffer holds the whole question, so they exist.
    const auto flags = static_cast<std::uint8_t>(kQr | (m_packet[kFlagsOffset] & kRd));
    const auto flags2 = static_cast<std::uint8_t>(kRa | (m_packet[kFlagsOffset + 1] & kCd));
    CFieldWriter writer(m_packet);
    writer.U16(m_id);
    writer.HeaderTail(flags, flags2, m_answers);
    return m_answers == 0 ? m_end : m_length;
}

std::size_t CDnsResponse::BuildFromCache(std::span<std::uint8_t> packet,
                                         const DnsQuestion& question,
                                         std::span<const std::uint8_t> address,
                                         std::uint32_t ttl) noexcept {
    CCachedReply reply(packet, question, ttl, packet.size());
    if (!address.empty() && !reply.Add(address)) {
        return 0;
    }
    return reply.Finish();
}

bool CDnsResponse::ReadReply(std::span<const std::uint8_t> datagram, DnsReplyFacts& facts) {
    CDnsWireReader reader(datagram);
    std::uint8_t idLow = 0;
    std::uint8_t idHigh = 0;
    std::uint8_t flags = 0;
    std::uint8_t flags2 = 0;
    std::uint16_t questions = 0;
    std::uint16_t answerCount = 0;
    std::uint16_t authorityCount = 0;
    if (!reader.ReadU8(idLow) || !reader.ReadU8(idHigh) || !reader.ReadU8(flags) ||
        !reader.ReadU8(flags2) || !reader.ReadU16(questions) || !reader.ReadU16(answerCount) ||
        !reader.ReadU16(authorityCount) || !reader.Seek(kDnsHeaderSize) ||
        !reader.ReadLabels(facts.Name) || facts.Name.empty() || !reader.ReadU16(facts.Type) ||
        !reader.ReadU16(facts.Class)) {
        return false;
    }
    facts.Id = static_cast<std::uint16_t>(idHigh << 8 | idLow);
    const int examined = std::min(int{answerCount}, kMaxAnswersExamined);
    facts.Truncated = (flags & kTc) != 0;
    facts.Rcode = flags2 & kRcodeMask;
    facts.Addresses.clear();
    facts.Ttl = 0;
    // The largest value stands for none: a record's TTL counts at most 2^31 - 1.
    constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
    facts.MinTtl = kNone;
    for (int i = 0; i < examined; ++i) {
        if (!ReadAnswer(reader, facts.Type, facts)) {
            return false;
        }
    }
    if (facts.Addresses.empty()) {
        if (const std::optional<std::uint32_t> negative =
                NegativeTtl(reader, answerCount - examined, authorityCount)) {
            facts.MinTtl = std::min(facts.MinTtl, SaneTtl(*negative));
        }
    }
    if (facts.MinTtl == kNone) {
        facts.MinTtl = 0;
    }
    return true;
}
