#include "tests/support/fake_upstream.h"

#include <algorithm>
#include <array>

#include "core/dns_packet.h"
#include "net/address_text.h"
#include "net/ip_text.h"

namespace qftest {

namespace {

void PutU16(Bytes& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

void PutU32(Bytes& out, std::uint32_t value) {
    PutU16(out, static_cast<std::uint16_t>(value >> 16));
    PutU16(out, static_cast<std::uint16_t>(value));
}

void PutName(Bytes& out, std::string_view name) {
    while (!name.empty()) {
        const std::size_t dot = name.find('.');
        const std::string_view label = name.substr(0, dot);
        out.push_back(static_cast<std::uint8_t>(label.size()));
        out.insert(out.end(), label.begin(), label.end());
        name = dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
    }
    out.push_back(0);
}

// The question of a query: from offset 12 to the end of its type and class.
std::size_t QuestionEnd(std::span<const std::uint8_t> query) {
    std::size_t at = 12;
    while (at < query.size() && query[at] != 0) {
        at += 1u + query[at];
    }
    return std::min(at + 1 + 4, query.size());
}

// The reply to `query` that `answer` describes: the query's id and question, QR, RD and RA set,
// the rcode, and the answers with their names written in full.
Bytes MakeReply(std::span<const std::uint8_t> query, const FakeAnswer& answer) {
    Bytes out(query.begin(), query.begin() + static_cast<std::ptrdiff_t>(QuestionEnd(query)));
    out.resize(answer.ReplyQuestion.empty() ? std::max<std::size_t>(out.size(), 12) : 12);
    if (!answer.ReplyQuestion.empty()) {
        PutName(out, answer.ReplyQuestion);
        PutU32(out, 0x00010001);  // type A, class IN
    }
    if (answer.UppercaseQuestion) {
        std::transform(out.begin() + 12, out.end(), out.begin() + 12, [](std::uint8_t c) {
            return c >= 'a' && c <= 'z' ? static_cast<std::uint8_t>(c - 'a' + 'A') : c;
        });
    }
    std::string question;
    std::uint16_t unused = 0;
    static_cast<void>(CDnsQuery::Parse(query, question, unused));
    DnsQuestion asked;
    const bool ipv6 = CDnsQuery::ReadQuestion(query, asked) && asked.Type == kTypeAaaa &&
                      answer.ReplyQuestion.empty();
    std::vector<std::string> addresses = ipv6 ? answer.Ipv6Addresses : answer.Addresses;
    if (answer.TruncateOverUdp && addresses.size() > 1) {
        addresses.resize(1);
    }
    const auto answers =
        static_cast<std::uint8_t>(addresses.size() + (answer.Cname.empty() ? 0 : 1));
    out[2] =
        static_cast<std::uint8_t>(0x80 | (answer.TruncateOverUdp ? 0x02 : 0) | (out[2] & 0x01));
    out[3] = static_cast<std::uint8_t>(0x80 | (answer.Rcode & 0x0F));
    std::copy_n(std::array<std::uint8_t, 8>{0, 1, 0, answers, 0, 0, 0, 0}.begin(), 8,
                out.begin() + 4);

    if (!answer.Cname.empty()) {
        PutName(out, question);
        PutU16(out, 5);
        PutU16(out, 1);
        PutU32(out, answer.CnameTtl);
        Bytes target;
        PutName(target, answer.Cname);
        PutU16(out, static_cast<std::uint16_t>(target.size()));
        out.insert(out.end(), target.begin(), target.end());
    }
    for (const std::string& address : addresses) {
        PutName(out, answer.Cname.empty() ? question : answer.Cname);
        PutU16(out, ipv6 ? kTypeAaaa : kTypeA);
        PutU16(out, kClassIn);
        PutU32(out, answer.Ttl);
        if (ipv6) {
            const Ipv6Bytes bytes = ParseIpv6Text(address).value_or(Ipv6Bytes{});
            PutU16(out, 16);
            out.insert(out.end(), bytes.begin(), bytes.end());
            continue;
        }
        PutU16(out, 4);
        const std::uint32_t value = TextToAddress(address);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(&value);
        out.insert(out.end(), bytes, bytes + 4);
    }
    return out;
}

}  // namespace

Bytes MakeQuery(std::string_view name, std::uint16_t id, std::uint16_t type, std::uint8_t flags2) {
    Bytes out;
    PutU16(out, id);
    out.push_back(0x01);
    out.push_back(flags2);
    PutU32(out, 0x00010000);  // one question
    PutU32(out, 0);
    PutName(out, name);
    PutU16(out, type);
    PutU16(out, 1);
    return out;
}

Bytes WithOptRecord(Bytes query) {
    query[11] = 1;  // ARCOUNT
    // Root owner, type OPT, UDP size 1232, extended rcode and flags 0, no data.
    const std::array<std::uint8_t, 11> opt{0, 0, 41, 0x04, 0xD0, 0, 0, 0, 0, 0, 0};
    query.insert(query.end(), opt.begin(), opt.end());
    return query;
}

Bytes Framed(std::span<const std::uint8_t> message) {
    Bytes out;
    PutU16(out, static_cast<std::uint16_t>(message.size()));
    out.insert(out.end(), message.begin(), message.end());
    return out;
}

FakeUpstream::FakeUpstream() {
    // The TCP port is the UDP one; another is tried while TCP has it taken.
    for (int attempt = 0; attempt < 16 && !m_tcpListener.IsCreated(); ++attempt) {
        m_socket.Create(true);
        m_socket.Bind(0, kLoopback);
        m_port = m_socket.GetLocalPort();
        m_tcpListener.Create(false);
        try {
            m_tcpListener.Bind(m_port, kLoopback);
            m_tcpListener.Listen();
        } catch (const CWSocketException&) {
            m_tcpListener.Close();
        }
    }
    m_spoofSocket.Create(true);
    m_spoofSocket.Bind(0, kLoopback);
    m_server = std::thread(&FakeUpstream::Serve, this);
    m_tcpAcceptor = std::thread(&FakeUpstream::AcceptTcp, this);
}

FakeUpstream::~FakeUpstream() {
    // Releases the blocked calls; the loops see the flag first.
    m_stop = true;
    try {
        m_socket.Shutdown(SocketShutdown::kBoth);
    } catch (const CWSocketException&) {
    }
    m_socket.Close();
    m_server.join();
    m_tcpListener.Close();
    m_tcpAcceptor.join();
    for (Connection& connection : m_connections) {
        connection.Socket.Close();
        connection.Thread.join();
    }
}

void FakeUpstream::Answer(const std::string& domain, FakeAnswer answer) {
    const std::lock_guard guard(m_lock);
    m_answers[domain] = std::move(answer);
}

std::vector<FakeUpstream::Query> FakeUpstream::Queries() const {
    const std::lock_guard guard(m_lock);
    return m_queries;
}

int FakeUpstream::QueryCount() const {
    const std::lock_guard guard(m_lock);
    return static_cast<int>(m_queries.size());
}

bool FakeUpstream::WaitForQueries(int count, std::chrono::milliseconds limit) const {
    std::unique_lock lock(m_lock);
    return m_changed.wait_for(lock, limit,
                              [&] { return static_cast<int>(m_queries.size()) >= count; });
}

std::vector<Bytes> FakeUpstream::Replies() const {
    const std::lock_guard guard(m_lock);
    return m_replies;
}

int FakeUpstream::SpoofsSent() const {
    const std::lock_guard guard(m_lock);
    return m_spoofs;
}

std::optional<FakeAnswer> FakeUpstream::Take(std::span<const std::uint8_t> query, bool tcp) {
    Query received{Bytes(query.begin(), query.end()), {}, tcp};
    std::uint16_t unused = 0;
    static_cast<void>(CDnsQuery::Parse(query, received.Domain, unused));
    const std::lock_guard guard(m_lock);
    m_queries.push_back(received);
    m_changed.notify_all();
    const auto found = m_answers.find(received.Domain);
    if (found == m_answers.end() || found->second.Silent) {
        return std::nullopt;
    }
    FakeAnswer answer = found->second;
    answer.TruncateOverUdp = answer.TruncateOverUdp && !tcp;  // over TCP the reply is whole
    return answer;
}

void FakeUpstream::AcceptTcp() {
    while (!m_stop) {
        std::string from;
        std::uint16_t port = 0;
        CWSocket socket;
        try {
            socket = m_tcpListener.Accept(from, port);
        } catch (const CWSocketException&) {
            if (m_stop) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        // The destructor joins the connections only after this thread has ended.
        const std::lock_guard guard(m_lock);
        Connection& connection = m_connections.emplace_back();
        connection.Socket = std::move(socket);
        connection.Thread = std::thread(&FakeUpstream::ServeTcp, this, std::ref(connection));
    }
}

void FakeUpstream::ServeTcp(Connection& connection) {
    // Reads exactly what each part needs, so that queries sent in a row stay apart.
    const auto readExactly = [&](std::uint8_t* into, std::size_t length) {
        for (std::size_t have = 0; have < length;) {
            const std::size_t part = connection.Socket.Receive(into + have, length - have);
            if (part == 0) {
                return false;
            }
            have += part;
        }
        return true;
    };
    try {
        for (;;) {
            std::array<std::uint8_t, 2> prefix{};
            if (!readExactly(prefix.data(), prefix.size())) {
                return;
            }
            Bytes query(std::size_t{prefix[0]} << 8 | prefix[1]);
            if (!readExactly(query.data(), query.size())) {
                return;
            }
            const std::optional<FakeAnswer> answer = Take(query, true);
            if (!answer) {
                continue;
            }
            std::this_thread::sleep_for(answer->Delay);
            const Bytes reply = MakeReply(query, *answer);
            {
                const std::lock_guard guard(m_lock);
                m_replies.push_back(reply);
            }
            const Bytes framed = Framed(reply);
            connection.Socket.Send(framed.data(), framed.size());
        }
    } catch (const CWSocketException&) {
        // The asker is gone, or the fake is closing.
    }
}

void FakeUpstream::Send(CWSocket& via, const Bytes& data, std::uint16_t port) {
    try {
        via.SendTo(data.data(), data.size(), port, kLoopback);
    } catch (const CWSocketException&) {
        // The asker is gone.
    }
}

void FakeUpstream::Serve() {
    std::array<std::uint8_t, 2048> buffer{};
    while (!m_stop) {
        std::string from;
        std::uint16_t port = 0;
        std::size_t length = 0;
        try {
            length = m_socket.ReceiveFrom(buffer.data(), buffer.size(), from, port);
        } catch (const CWSocketException&) {
            continue;
        }
        const std::span<const std::uint8_t> query(buffer.data(), length);
        const std::optional<FakeAnswer> taken = Take(query, false);
        if (!taken) {
            continue;
        }
        auto delay = taken->Delay;
        if (taken->SpoofFirst) {
            FakeAnswer falseAnswer = *taken;
            falseAnswer.Addresses = {"6.6.6.6"};
            falseAnswer.Cname.clear();
            const Bytes fromElsewhere = MakeReply(query, falseAnswer);
            Bytes wrongId = fromElsewhere;
            wrongId[0] = static_cast<std::uint8_t>(~wrongId[0]);
            wrongId[1] = static_cast<std::uint8_t>(~wrongId[1]);
            Send(m_spoofSocket, fromElsewhere, port);
            Send(m_socket, wrongId, port);
            {
                const std::lock_guard guard(m_lock);
                m_spoofs += 2;
            }
            delay = std::max(delay, std::chrono::milliseconds(100));
        }
        std::this_thread::sleep_for(delay);
        const Bytes reply = MakeReply(query, *taken);
        {
            const std::lock_guard guard(m_lock);
            m_replies.push_back(reply);
        }
        Send(m_socket, reply, port);
    }
}

}  // namespace qftest
