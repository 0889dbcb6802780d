#pragma once

// A fake upstream DNS server on UDP and TCP of one port of 127.0.0.1, and the wire builders the
// tests share.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "net/wsocket.h"

namespace qftest {

using Bytes = std::vector<std::uint8_t>;

// Builds DNS messages field by field, independently of the codec under test.
class Wire {
public:
    Wire() = default;
    explicit Wire(Bytes bytes) : m_bytes(std::move(bytes)) {}
    Wire& Raw(std::initializer_list<int> values) {
        for (int value : values) {
            m_bytes.push_back(static_cast<std::uint8_t>(value));
        }
        return *this;
    }
    Wire& Raw(std::span<const std::uint8_t> bytes) {
        m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end());
        return *this;
    }
    Wire& U16(unsigned value) { return Raw({int(value >> 8 & 0xFF), int(value & 0xFF)}); }
    Wire& U32(std::uint32_t value) { return U16(value >> 16).U16(value & 0xFFFF); }
    // An EDNS record: root owner, type OPT, the UDP size, extended rcode and flags 0, no data.
    Wire& Opt(unsigned udpSize) { return Raw({0, 0, 41}).U16(udpSize).U32(0).U16(0); }
    Wire& Name(std::string_view dotted) {
        for (std::size_t start = 0; start < dotted.size();) {
            const std::size_t end = std::min(dotted.find('.', start), dotted.size());
            m_bytes.push_back(static_cast<std::uint8_t>(end - start));
            m_bytes.insert(m_bytes.end(), dotted.begin() + std::ptrdiff_t(start),
                           dotted.begin() + std::ptrdiff_t(end));
            start = end + 1;
        }
        return Raw({0});
    }
    // The two id bytes as they stand, the two flag bytes and QDCOUNT 1.
    Wire& Header(int id0, int id1, int flags, int flags2, unsigned answers) {
        return Raw({id0, id1, flags, flags2}).U16(1).U16(answers).U32(0);
    }
    Wire& Question(std::string_view name, unsigned type = 1) { return Name(name).U16(type).U16(1); }
    // A record whose owner is the question name, by a pointer to offset 12.
    Wire& Record(unsigned type, std::uint32_t ttl, std::initializer_list<int> data) {
        U16(0xC00C).U16(type).U16(1).U32(ttl).U16(unsigned(data.size()));
        return Raw(data);
    }
    Wire& A(std::uint32_t ttl, int a, int b, int c, int d) { return Record(1, ttl, {a, b, c, d}); }
    [[nodiscard]] const Bytes& Get() const { return m_bytes; }

private:
    Bytes m_bytes;
};

inline constexpr const char* kLoopback = "127.0.0.1";

// A client's query: the id as its two wire bytes (big-endian), RD set, the given byte 3 (AD and
// CD bits), one question of the given type and class IN.
Bytes MakeQuery(std::string_view name, std::uint16_t id, std::uint16_t type = 1,
                std::uint8_t flags2 = 0x00);
// The query with an EDNS OPT record behind the question (ARCOUNT 1) offering `udpSize`.
Bytes WithOptRecord(Bytes query, std::uint16_t udpSize = 1232);

// How the fake answers one domain.
struct FakeAnswer {
    // The A records; an AAAA query gets AAAA records of Ipv6Addresses instead (none: no answer).
    std::vector<std::string> Addresses{};
    std::vector<std::string> Ipv6Addresses{};
    std::uint32_t Ttl = 300;
    // When set, a CNAME record from the question name to this name comes first (with CnameTtl)
    // and the A records are the target's.
    std::string Cname{};
    std::uint32_t CnameTtl = 3600;
    std::uint8_t Rcode = 0;
    bool Silent = false;                 // no reply at all
    std::chrono::milliseconds Delay{0};  // after the query came
    // Before the genuine reply, two false ones with the address 6.6.6.6 go out: one from
    // another port of 127.0.0.1, one from the fake's port with the id's bytes flipped. The
    // genuine reply then follows at least 100 ms after them.
    bool SpoofFirst = false;
    bool UppercaseQuestion = false;  // the reply repeats the question name in upper case
    bool Edns = false;               // the reply ends with an EDNS record (UDP size 1232)
    std::string ReplyQuestion{};     // when set, the reply asks for this name (type A) instead
    // Over UDP a reply longer than the query offers room for (512 bytes without EDNS) goes as its
    // header and question, with TC set.
    bool Truncates = false;
};

// The two length bytes of a DNS message over TCP, then the message.
Bytes Framed(std::span<const std::uint8_t> message);
// The next message of a TCP stream without its length prefix; none when the stream ends or a
// receive fails first.
std::optional<Bytes> ReceiveFramed(CWSocket& socket);

// Answers from its table in the order the queries come; a delayed reply holds up the next query
// of the same transport (of the same connection over TCP). Each TCP connection has a thread of
// its own and may carry several queries; the replies carry their length prefix.
class FakeUpstream {
public:
    struct Query {
        Bytes Data;
        std::string Domain;
    };

    // On a port that the system chose. Unknown domains get no reply.
    FakeUpstream();
    FakeUpstream(const FakeUpstream&) = delete;
    FakeUpstream& operator=(const FakeUpstream&) = delete;
    ~FakeUpstream();

    [[nodiscard]] std::uint16_t Port() const { return m_port; }
    void Answer(const std::string& domain, FakeAnswer answer);

    [[nodiscard]] std::vector<Query> Queries() const { return Locked(m_queries); }
    [[nodiscard]] int QueryCount() const { return static_cast<int>(Queries().size()); }
    // Waits until at least `count` queries came, for at most `limit`.
    bool WaitForQueries(int count, std::chrono::milliseconds limit) const;
    // The genuine replies (without a TCP length prefix), in order, each recorded just before it
    // is sent.
    [[nodiscard]] std::vector<Bytes> Replies() const { return Locked(m_replies); }
    [[nodiscard]] int SpoofsSent() const { return Locked(m_spoofs); }

private:
    template <typename T>
    T Locked(const T& value) const {
        const std::lock_guard guard(m_lock);
        return value;
    }

    struct Connection {
        CWSocket Socket;
        std::thread Thread;
    };

    void Serve();
    void AcceptTcp();
    void ServeTcp(Connection& connection);
    // Records the query and gives the answer for it, or none for no reply.
    std::optional<FakeAnswer> Take(std::span<const std::uint8_t> query);
    // The genuine reply, recorded after the delay.
    Bytes Reply(std::span<const std::uint8_t> query, const FakeAnswer& answer,
                std::chrono::milliseconds delay);

    CWSocket m_socket;
    CWSocket m_spoofSocket;
    CWSocket m_tcpListener;
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};

    mutable std::mutex m_lock;
    mutable std::condition_variable m_changed;
    std::map<std::string, FakeAnswer> m_answers;
    std::vector<Query> m_queries;
    std::vector<Bytes> m_replies;
    int m_spoofs = 0;
    std::list<Connection> m_connections;

    std::thread m_server;
    std::thread m_tcpAcceptor;
};

}  // namespace qftest
