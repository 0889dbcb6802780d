#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/dns_wire_reader.h"
#include "core/locked_string_list.h"

// The small part of the DNS wire format (RFC 1035) that the proxy and the resolver need: an A or
// AAAA query for one name, the question of a client's query, a reply built from a cache entry
// for an A or AAAA question, and what an upstream reply says about its question: its addresses,
// its largest TTL and its response code. Everything else in a message is relayed untouched or
// ignored.
//
// Parsing trusts nothing in the datagram: every read is bounds-checked against the datagram's
// length, and a message that does not hold what it claims is rejected as a whole. Building
// writes only inside the given buffer and writes nothing when the message would not fit.

// The size of the receive buffers of client queries.
inline constexpr std::size_t kDnsPacketSize = 1514;
// The largest message: an upstream's reply is received into a buffer of this size.
inline constexpr std::size_t kMaxDnsMessage = 65535;
// What a client without EDNS takes over UDP (RFC 1035).
inline constexpr std::size_t kClassicUdpSize = 512;
inline constexpr std::size_t kDnsHeaderSize = 12;
// The encoded form of a name of kMaxNameText characters: one length byte per label, the
// characters without the dots, and the zero byte.
inline constexpr std::size_t kMaxEncodedName = kMaxNameText + 2;
// A reply is read only as far as its first 20 answers.
inline constexpr int kMaxAnswersExamined = 20;
// The TTL of a reply for a DNS-over-HTTPS server's host, whose addresses the user gave, and of
// every reply from the cache with the old answers switched on: one day.
inline constexpr std::uint32_t kCachedReplyTtl = 86400;
// The TTL of an answer from an expired entry (RFC 8767): short, so that whoever keeps it asks
// again soon and gets the renewed answer.
inline constexpr std::uint32_t kStaleReplyTtl = 30;

inline constexpr std::uint16_t kTypeA = 1;
inline constexpr std::uint16_t kTypeAaaa = 28;
// The EDNS pseudo-record (RFC 6891), in a message's additional section.
inline constexpr std::uint16_t kTypeOpt = 41;
inline constexpr std::uint16_t kClassIn = 1;
// The response codes a reply teaches by, and those after which a query goes to the next server.
inline constexpr std::uint8_t kRcodeNoError = 0;
inline constexpr std::uint8_t kRcodeServerFailure = 2;
inline constexpr std::uint8_t kRcodeNameError = 3;
inline constexpr std::uint8_t kRcodeNotImplemented = 4;
inline constexpr std::uint8_t kRcodeRefused = 5;

// True when the message's header has the TC bit set: the reply was cut to fit a datagram, and
// its answers may be incomplete.
bool IsTruncatedReply(std::span<const std::uint8_t> message);

// The response code of a message's header; 0 for a message too short to have one.
std::uint8_t ReplyRcode(std::span<const std::uint8_t> message);
// Whether the reply is a response (QR set) with exactly one question that is `asked`: the same
// name in any letter case, type and class.
bool ReplyAnswersQuestion(std::span<const std::uint8_t> reply, std::string_view name,
                          std::uint16_t type, std::uint16_t qclass);
// Writes into `out` the reply cut as a server cuts one too long for a datagram: its header with
// the TC bit set and its question, without any record. Returns the length written: that of the
// header alone when the question cannot be read, 0 when `out` is smaller than a header.
std::size_t BuildTruncatedReply(std::span<const std::uint8_t> reply, std::span<std::uint8_t> out);

// The header and the question of a client's query, read without allocating.
struct DnsQuestion {
    // As the two bytes stand on the wire, big-endian.
    std::uint16_t Id = 0;
    std::uint8_t Opcode = 0;
    std::uint16_t QuestionCount = 0;
    CDnsNameText Name;
    std::uint16_t Type = 0;
    std::uint16_t Class = 0;
    // The offset just behind the question's class: where an answer goes.
    std::size_t End = 0;
    // The CD bit (RFC 4035): the client checks signatures itself.
    bool CheckingDisabled = false;
    // The largest reply the client takes over UDP: 512 bytes, or its EDNS size when larger.
    std::size_t UdpSize = kClassicUdpSize;
    // The EDNS DO bit: the client wants signatures.
    bool DnssecOk = false;
    // The query has an EDNS record: a client without one must get a reply without (RFC 6891).
    bool Edns = false;

    // A standard query with exactly one question of class IN, for a name whose labels read back
    // as themselves (no "." inside a label, none longer than 63 bytes): one that the cache may
    // answer when it asks for A or AAAA.
    [[nodiscard]] bool IsPlainInternetQuery() const noexcept;
};

// What an upstream reply says about its question.
struct DnsReplyFacts {
    std::string Name;
    std::uint16_t Type = 0;
    std::uint16_t Class = 0;
    std::uint8_t Rcode = 0;
    bool Truncated = false;
    // The two id bytes low byte first, as CDnsQuery::Build wrote them.
    std::uint16_t Id = 0;
    // The addresses of the records of the question's type (A or AAAA) among the first 20
    // answers, each once, in order, as dotted quads or RFC 5952 texts: a CNAME chain's end
    // included.
    std::vector<std::string> Addresses;
    // The largest TTL of every examined record, whatever its type.
    std::uint32_t Ttl = 0;
    // The smallest, a CNAME's included: how long the addresses may be kept. Without a record of
    // the question's type, the SOA's negative TTL counts too: how long the absence may be kept
    // (RFC 2308). A TTL with the top bit set counts as 0 (RFC 2181). 0 when there is none.
    std::uint32_t MinTtl = 0;
};

// The name codec shared by queries and replies. Has no members.
class CDnsPacket {
public:
    // The bytes EncodeName writes for the text, or 0 when the text is longer than kMaxNameText.
    static std::size_t EncodedNameLength(std::string_view name) noexcept;

    // Writes the label sequence of the text at the start of `out`: one length byte and the
    // characters for each "."-separated part, then a zero byte. An empty part ends the name there,
    // so a trailing dot changes nothing and "" gives the root name. Characters are copied as they
    // are, and a label may be longer than 63. Returns the bytes written, or 0 (nothing written)
    // when the text is too long or `out` too small.
    static std::size_t EncodeName(std::string_view name, std::span<std::uint8_t> out) noexcept;
};

class CDnsQuery : public CDnsPacket {
public:
    // Writes a query (RD set) of `type` for the name into `out` and returns its length: 12 + the
    // encoded name + 4, and 11 more for an EDNS record offering `ednsSize` bytes when that is not
    // 0. The id is written low byte first, as the value stands in memory on the workstation,
    // which is how CDnsResponse::ReadReply gives it back. Returns 0 and writes nothing when the
    // name exceeds kMaxNameText characters or the query does not fit into `out`.
    static std::size_t Build(std::span<std::uint8_t> out, std::string_view name, std::uint16_t id,
                             std::uint16_t type = kTypeA, std::uint16_t ednsSize = 0);

    // Reads the header and the question of a client's query; the datagram's span is exactly the
    // received bytes. True for a query (QR clear) whose header and first question lie inside the
    // datagram; false otherwise, with `question` unspecified.
    static bool ReadQuestion(std::span<const std::uint8_t> datagram,
                             DnsQuestion& question) noexcept;
    // Reads the query's EDNS record (RFC 6891) into the question's UdpSize and DnssecOk, which
    // stay as they are without one. `question` was read from the same datagram.
    static void ReadEdns(std::span<const std::uint8_t> datagram, DnsQuestion& question) noexcept;
};

class CDnsResponse : public CDnsPacket {
public:
    // The reply from the cache for one address or none (CCachedReply), as large as the buffer
    // takes.
    static std::size_t BuildFromCache(std::span<std::uint8_t> packet, const DnsQuestion& question,
                                      std::span<const std::uint8_t> address,
                                      std::uint32_t ttl = kCachedReplyTtl) noexcept;

    // Reads an upstream reply; the datagram's span is exactly the received bytes. False (facts
    // unspecified) for a reply whose question name is empty (the root), and for one that is broken
    // - its header, question or any examined answer does not lie inside the datagram, a name in it
    // cannot be read, or an A or AAAA record's data is not 4 or 16 bytes.
    static bool ReadReply(std::span<const std::uint8_t> datagram, DnsReplyFacts& facts);
};

// Writes the reply from the cache over the client's query held at the start of `packet` (the
// whole buffer, whose size is its capacity; `question` read from it). The header keeps the
// query's id and its RD and CD bits, sets QR and RA, and counts the one question and the
// answers. The question stays byte for byte as the client wrote it (name case, type, class);
// each answer points at its name and carries the question's type, the TTL and an address (4
// bytes for A, 16 for AAAA), as many as fit into `limit` bytes. Whatever followed the question
// is dropped. No answer at all says that the name has no data of that type.
class CCachedReply {
public:
    CCachedReply(std::span<std::uint8_t> packet, const DnsQuestion& question, std::uint32_t ttl,
                 std::size_t limit) noexcept
        : m_packet(packet.first(std::min(packet.size(), limit))),
          m_id(question.Id),
          m_type(question.Type),
          m_end(question.End),
          m_ttl(ttl) {}

    // Appends an answer with the address; false (nothing written) when it does not fit.
    bool Add(std::span<const std::uint8_t> address) noexcept;
    // Writes the header: the reply's length, or 0 with the query untouched when not even the
    // question fits.
    [[nodiscard]] std::size_t Finish() noexcept;

private:
    std::span<std::uint8_t> m_packet;
    // Of the question, read from the packet.
    const std::uint16_t m_id;
    const std::uint16_t m_type;
    const std::size_t m_end;
    const std::uint32_t m_ttl;
    std::size_t m_length = 0;
    std::uint16_t m_answers = 0;
};
