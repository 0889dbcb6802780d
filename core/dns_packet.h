#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "core/dns_wire_reader.h"
#include "core/locked_string_list.h"

// The small part of the DNS wire format (RFC 1035, over UDP) that the proxy and the resolver
// need: an A query for one name, the question of a client's query, a one-address reply built
// from a cache entry, and the question name, IPv4 addresses and largest TTL of an upstream reply.
// Everything else in a message is relayed untouched or ignored.
//
// Parsing trusts nothing in the datagram: every read is bounds-checked against the datagram's
// length, and a message that does not hold what it claims is rejected as a whole. Building
// writes only inside the given buffer and writes nothing when the message would not fit.

// The size of every receive buffer in the system and so the largest message.
inline constexpr std::size_t kDnsPacketSize = 1514;
inline constexpr std::size_t kDnsHeaderSize = 12;
// The encoded form of a name of kMaxNameText characters: one length byte per label, the
// characters without the dots, and the zero byte.
inline constexpr std::size_t kMaxEncodedName = kMaxNameText + 2;
// A reply is read only as far as its first 20 answers.
inline constexpr int kMaxAnswersExamined = 20;
// The TTL of every reply built from the cache, whatever the entry holds: one day.
inline constexpr std::uint32_t kCachedReplyTtl = 86400;

inline constexpr std::uint16_t kTypeA = 1;
inline constexpr std::uint16_t kClassIn = 1;

// True when the message's header has the TC bit set: the reply was cut to fit a datagram, and
// its answers may be incomplete.
bool IsTruncatedReply(std::span<const std::uint8_t> message);

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

    // Reads the label sequence at `position` without following compression pointers (a length
    // byte of 0xC0 or more is a label length): the labels joined by ".", "" for the root name.
    // `consumed` is the bytes up to and including the zero byte. False (outputs untouched) when
    // the name passes the end of the message or its text would exceed kMaxNameText characters.
    static bool DecodeName(std::span<const std::uint8_t> message, std::size_t position,
                           std::string& name, std::size_t& consumed);

    // Reads a name at `position` that may use compression pointers. `consumed` is the bytes the
    // name occupies at `position`: its labels plus the two of its first pointer, or plus the zero
    // byte when there is no pointer. False (outputs untouched) as for DecodeName, and for a
    // pointer that does not point before itself or a chain of more pointers than a name can have.
    static bool ReadName(std::span<const std::uint8_t> message, std::size_t position,
                         std::string& name, std::size_t& consumed);
};

class CDnsQuery : public CDnsPacket {
public:
    // Writes an A query (RD set) for the name into `out` and returns its length: 12 + the
    // encoded name + 4. The id is written low byte first, as the value stands in memory on the
    // workstation, which is how CDnsResponse::Parse gives it back. Returns 0 and writes nothing
    // when the name exceeds kMaxNameText characters or the query does not fit into `out`.
    static std::size_t Build(std::span<std::uint8_t> out, std::string_view name, std::uint16_t id);

    // Reads the question name and the id (big-endian) of a client's query; the datagram's span
    // is exactly the received bytes. True for a query whose header and whole question (name,
    // type and class) lie inside the datagram. A response (QR set) gives false and leaves name
    // and id untouched; any other failure gives false with an empty name and id untouched.
    static bool Parse(std::span<const std::uint8_t> datagram, std::string& name, std::uint16_t& id);
};

class CDnsResponse : public CDnsPacket {
public:
    // Rewrites the query held at the start of `packet` (the whole buffer, whose size is its
    // capacity) into a reply with one A record for the name, and returns the reply's length:
    // 12 + the encoded name + 4 + 16. The header keeps the query's id (written big-endian, so the
    // bytes equal the query's) and its AD and CD bits; the question asks for type A, class IN,
    // whatever the query asked; the answer points at the question name and carries TTL 86400 and
    // the first address of the list (0.0.0.0 for an empty list, 255.255.255.255 for a text that
    // is not an address). Whatever followed the question is dropped. Returns 0 and writes
    // nothing when the name exceeds kMaxNameText characters or the reply does not fit.
    static std::size_t BuildFromCache(std::span<std::uint8_t> packet, std::string_view name,
                                      const CLockedStringList& addresses, std::uint16_t id);

    // Reads an upstream reply; the datagram's span is exactly the received bytes. Gives the
    // question name, the addresses of the A records among the first 20 answers (in order; a
    // unique list holds each once), the two id bytes low byte first (so the id that Build wrote
    // comes back) and the largest TTL of every examined record, whatever its type. Returns the
    // number of addresses in the list afterwards.
    //
    // A reply whose question name is empty returns 0 with addresses, id and ttl untouched. A
    // reply that is broken - its header, question or any examined answer does not lie inside the
    // datagram, a name in it cannot be read, or an A record's data is not four bytes - teaches
    // nothing: it returns 0 with an empty name, an empty list, ttl 0 and id untouched.
    static int Parse(std::span<const std::uint8_t> datagram, std::string& name,
                     CLockedStringList& addresses, std::uint16_t& id, std::uint32_t& ttl);
};
