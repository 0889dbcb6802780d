#include "core/dns_packet.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "net/address_text.h"

namespace {

// Header flag bytes.
constexpr std::uint8_t kQr = 0x80;
constexpr std::uint8_t kRd = 0x01;
constexpr std::uint8_t kRa = 0x80;
constexpr std::uint8_t kAdCd = 0x30;

constexpr std::size_t kFlags2Offset = 3;
constexpr std::size_t kAnswerCountOffset = 6;
// Type and class behind a question name.
constexpr std::size_t kQuestionTail = 4;
// The answer of a cached reply: a pointer to the question name at offset 12, type, class, TTL,
// data length and an IPv4 address.
constexpr std::size_t kCachedAnswerSize = 16;
constexpr std::uint16_t kPointerToQuestion = 0xC000 | kDnsHeaderSize;
constexpr std::uint16_t kAddressLength = 4;

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
    void HeaderTail(std::uint8_t flags, std::uint8_t flags2, std::uint16_t answers) {
        U8(flags);
        U8(flags2);
        U16(1);  // QDCOUNT
        U16(answers);
        U16(0);  // NSCOUNT
        U16(0);  // ARCOUNT
    }

    [[nodiscard]] std::size_t Written() const { return m_at; }

private:
    std::span<std::uint8_t> m_out;
    std::size_t m_at = 0;
};

std::array<std::uint8_t, 4> AddressBytes(std::uint32_t address) {
    // The address is in network order: its bytes in memory are already the wire bytes.
    std::array<std::uint8_t, 4> bytes{};
    std::memcpy(bytes.data(), &address, bytes.size());
    return bytes;
}

std::uint32_t AddressFromBytes(const std::array<std::uint8_t, 4>& bytes) {
    std::uint32_t address = 0;
    std::memcpy(&address, bytes.data(), bytes.size());
    return address;
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
    constexpr std::size_t kFlagsOffset = 2;
    constexpr std::uint8_t kTruncated = 0x02;
    return message.size() > kFlagsOffset && (message[kFlagsOffset] & kTruncated) != 0;
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

bool CDnsPacket::DecodeName(std::span<const std::uint8_t> message, std::size_t position,
                            std::string& name, std::size_t& consumed) {
    CDnsWireReader reader(message);
    if (!reader.Seek(position) || !reader.ReadLabels(name)) {
        return false;
    }
    consumed = reader.Position() - position;
    return true;
}

bool CDnsPacket::ReadName(std::span<const std::uint8_t> message, std::size_t position,
                          std::string& name, std::size_t& consumed) {
    CDnsWireReader reader(message);
    if (!reader.Seek(position) || !reader.ReadName(name)) {
        return false;
    }
    consumed = reader.Position() - position;
    return true;
}

std::size_t CDnsQuery::Build(std::span<std::uint8_t> out, std::string_view name, std::uint16_t id) {
    const std::size_t nameLength = EncodedNameLength(name);
    const std::size_t length = kDnsHeaderSize + nameLength + kQuestionTail;
    if (nameLength == 0 || length > out.size()) {
        return 0;
    }
    CFieldWriter writer(out);
    writer.U8(static_cast<std::uint8_t>(id));
    writer.U8(static_cast<std::uint8_t>(id >> 8));
    writer.HeaderTail(kRd, 0, 0);
    writer.Name(name);
    writer.U16(kTypeA);
    writer.U16(kClassIn);
    return writer.Written();
}

bool CDnsQuery::Parse(std::span<const std::uint8_t> datagram, std::string& name,
                      std::uint16_t& id) {
    CDnsWireReader reader(datagram);
    std::uint16_t queryId = 0;
    std::uint8_t flags = 0;
    if (datagram.size() < kDnsHeaderSize || !reader.ReadU16(queryId) || !reader.ReadU8(flags)) {
        name.clear();
        return false;
    }
    if ((flags & kQr) != 0) {
        return false;
    }
    std::string question;
    if (!reader.Seek(kDnsHeaderSize) || !reader.ReadLabels(question) ||
        !reader.Skip(kQuestionTail)) {
        name.clear();
        return false;
    }
    name = std::move(question);
    id = queryId;
    return true;
}

std::size_t CDnsResponse::BuildFromCache(std::span<std::uint8_t> packet, std::string_view name,
                                         const CLockedStringList& addresses, std::uint16_t id) {
    const std::size_t nameLength = EncodedNameLength(name);
    const std::size_t length = kDnsHeaderSize + nameLength + kQuestionTail + kCachedAnswerSize;
    if (nameLength == 0 || length > packet.size()) {
        return 0;
    }
    // The one byte read from the query; the buffer holds at least a whole reply, so it exists.
    const auto flags2 = static_cast<std::uint8_t>(kRa | (packet[kFlags2Offset] & kAdCd));
    const std::optional<std::string> first = addresses.GetHead();
    // No address is answered as 0.0.0.0 rather than with whatever the buffer held.
    const std::uint32_t address = first ? TextToAddress(*first) : 0;

    CFieldWriter writer(packet);
    writer.U16(id);
    writer.HeaderTail(kQr | kRd, flags2, 1);
    writer.Name(name);
    writer.U16(kTypeA);
    writer.U16(kClassIn);
    writer.U16(kPointerToQuestion);
    writer.U16(kTypeA);
    writer.U16(kClassIn);
    writer.U32(kCachedReplyTtl);
    writer.U16(kAddressLength);
    writer.Bytes(AddressBytes(address));
    return writer.Written();
}

int CDnsResponse::Parse(std::span<const std::uint8_t> datagram, std::string& name,
                        CLockedStringList& addresses, std::uint16_t& id, std::uint32_t& ttl) {
    auto broken = [&]() {
        name.clear();
        addresses.RemoveAll();
        ttl = 0;
        return 0;
    };

    CDnsWireReader reader(datagram);
    std::uint8_t idLow = 0;
    std::uint8_t idHigh = 0;
    std::uint16_t answerCount = 0;
    std::string question;
    if (!reader.ReadU8(idLow) || !reader.ReadU8(idHigh) || !reader.Seek(kAnswerCountOffset) ||
        !reader.ReadU16(answerCount) || !reader.Seek(kDnsHeaderSize) ||
        !reader.ReadLabels(question)) {
        return broken();
    }
    if (question.empty()) {
        name.clear();
        return 0;
    }
    if (!reader.Skip(kQuestionTail)) {
        return broken();
    }

    // Everything is read before anything is stored, so a reply broken in its last examined
    // answer leaves no partial result.
    std::vector<std::string> found;
    std::uint32_t largestTtl = 0;
    const int examined = std::min(int{answerCount}, kMaxAnswersExamined);
    for (int i = 0; i < examined; ++i) {
        // The owner name is not compared with the question: a CNAME chain's end has its own.
        std::string owner;
        std::uint16_t type = 0;
        std::uint16_t rrClass = 0;
        std::uint32_t recordTtl = 0;
        std::uint16_t dataLength = 0;
        if (!reader.ReadName(owner) || !reader.ReadU16(type) || !reader.ReadU16(rrClass) ||
            !reader.ReadU32(recordTtl) || !reader.ReadU16(dataLength)) {
            return broken();
        }
        largestTtl = std::max(largestTtl, recordTtl);
        if (type == kTypeA) {
            std::array<std::uint8_t, 4> bytes{};
            if (dataLength != kAddressLength || !reader.ReadBytes(bytes)) {
                return broken();
            }
            found.push_back(AddressToText(AddressFromBytes(bytes)));
        } else if (!reader.Skip(dataLength)) {
            return broken();
        }
    }

    name = std::move(question);
    id = static_cast<std::uint16_t>(idHigh << 8 | idLow);
    ttl = largestTtl;
    // Held across the refill so that other threads see the old list or the new, never a mix.
    auto lock = addresses.Lock();
    addresses.RemoveAll();
    for (std::string& address : found) {
        addresses.AddTail(std::move(address));
    }
    return addresses.GetCount();
}
