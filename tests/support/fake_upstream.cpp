#include "tests/support/fake_upstream.h"

#include <algorithm>
#include <array>

#include "core/dns_packet.h"
#include "net/ip_text.h"

namespace qftest {

namespace {

// The reply to a query for a name in the table: the query's id and question (or the one the
// answer names instead), QR, RD and RA set, the rcode, and the answers with their names in full.
Bytes MakeReply(std::span<const std::uint8_t> query, const FakeAnswer& answer) {
    DnsQuestion asked;
    static_cast<void>(CDnsQuery::ReadQuestion(query, asked));  // Take found its name
    const std::string name(asked.Name.View());
    const bool ipv6 = asked.Type == kTypeAaaa && answer.ReplyQuestion.empty();
    const std::vector<std::string>& addresses = ipv6 ? answer.Ipv6Addresses : answer.Addresses;
    // A query without one question gets a reply without any.
    const bool oneAsked = asked.QuestionCount == 1;
    Bytes question = !oneAsked ? Bytes{}
                     : answer.ReplyQuestion.empty()
                         ? Bytes(query.begin() + 12, query.begin() + std::ptrdiff_t(asked.End))
                         : Wire().Question(answer.ReplyQuestion).Get();
    if (answer.UppercaseQuestion) {
        std::transform(question.begin(), question.end(), question.begin(), [](std::uint8_t c) {
            return c >= 'a' && c <= 'z' ? static_cast<std::uint8_t>(c - 'a' + 'A') : c;
        });
    }
    Wire reply;
    reply.Raw({query[0], query[1], 0x80 | (query[2] & 0x01), 0x80 | (answer.Rcode & 0x0F)});
    reply.U16(oneAsked ? 1 : 0).U16(unsigned(addresses.size() + (answer.Cname.empty() ? 0 : 1)));
    reply.U16(0).U16(answer.Edns ? 1 : 0);
    reply.Raw(question);
    if (!answer.Cname.empty()) {
        const Bytes target = Wire().Name(answer.Cname).Get();
        reply.Name(name).U16(5).U16(kClassIn).U32(answer.CnameTtl).U16(unsigned(target.size()));
        reply.Raw(target);
    }
    for (const std::string& address : addresses) {
        reply.Name(answer.Cname.empty() ? name : answer.Cname);
        reply.U16(ipv6 ? kTypeAaaa : kTypeA).U16(kClassIn).U32(answer.Ttl);
        if (ipv6) {
            reply.U16(16).Raw(ParseIpv6Text(address).value_or(Ipv6Bytes{}));
        } else {
            reply.U16(4).Raw(ParseIpv4Text(address).value_or(Ipv4Bytes{}));
        }
    }
    if (answer.Edns) {
        reply.Opt(1232);
    }
    return reply.Get();
}

void Send(CWSocket& via, const Bytes& data, std::uint16_t port) {
    try {
        via.SendTo(data.data(), data.size(), port, kLoopback);
    } catch (const CWSocketException&) {
        // The asker is gone.
    }
}

bool ReceiveExactly(CWSocket& socket, std::uint8_t* into, std::size_t length) {
    for (std::size_t have = 0, part = 0; have < length; have += part) {
        if ((part = socket.Receive(into + have, length - have)) == 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

Bytes MakeQuery(std::string_view name, std::uint16_t id, std::uint16_t type, std::uint8_t flags2) {
    return Wire().U16(id).Raw({0x01, flags2}).U16(1).U16(0).U32(0).Question(name, type).Get();
}

Bytes WithOptRecord(Bytes query, std::uint16_t udpSize) {
    query[11] = 1;  // ARCOUNT
    return Wire(std::move(query)).Opt(udpSize).Get();
}

Bytes Framed(std::span<const std::uint8_t> message) {
    return Wire().U16(unsigned(message.size())).Raw(message).Get();
}

std::optional<Bytes> ReceiveFramed(CWSocket& socket) {
    try {
        std::array<std::uint8_t, 2> prefix{};
        if (ReceiveExactly(socket, prefix.data(), prefix.size())) {
            Bytes message(std::size_t{prefix[0]} << 8 | prefix[1]);
            if (ReceiveExactly(socket, message.data(), message.size())) {
                return message;
            }
        }
    } catch (const CWSocketException&) {
        // A time-out, or the peer is gone.
    }
    return std::nullopt;
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

bool FakeUpstream::WaitForQueries(int count, std::chrono::milliseconds limit) const {
    std::unique_lock lock(m_lock);
    return m_changed.wait_for(lock, limit,
                              [&] { return static_cast<int>(m_queries.size()) >= count; });
}

std::optional<FakeAnswer> FakeUpstream::Take(std::span<const std::uint8_t> query) {
    Query received{Bytes(query.begin(), query.end()), {}};
    if (DnsQuestion question; CDnsQuery::ReadQuestion(query, question)) {
        received.Domain = question.Name.View();
    }
    const std::lock_guard guard(m_lock);
    m_queries.push_back(received);
    m_changed.notify_all();
    const auto found = m_answers.find(received.Domain);
    if (found == m_answers.end() || found->second.Silent) {
        return std::nullopt;
    }
    return found->second;
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
    // Reads exactly what each message needs, so that queries sent in a row stay apart.
    while (const std::optional<Bytes> query = ReceiveFramed(connection.Socket)) {
        if (const std::optional<FakeAnswer> answer = Take(*query)) {
            const Bytes framed = Framed(Reply(*query, *answer, answer->Delay));
            try {
                connection.Socket.Send(framed.data(), framed.size());
            } catch (const CWSocketException&) {
                return;  // the asker is gone, or the fake is closing
            }
        }
    }
}

Bytes FakeUpstream::Reply(std::span<const std::uint8_t> query, const FakeAnswer& answer,
                          std::chrono::milliseconds delay) {
    std::this_thread::sleep_for(delay);
    Bytes reply = MakeReply(query, answer);
    const std::lock_guard guard(m_lock);
    m_replies.push_back(reply);
    return reply;
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
        const std::optional<FakeAnswer> answer = Take(query);
        if (!answer) {
            continue;
        }
        auto delay = answer->Delay;
        if (answer->SpoofFirst) {
            FakeAnswer falseAnswer = *answer;
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
        Bytes reply = Reply(query, *answer, delay);
        DnsQuestion asked;
        if (answer->Truncates && CDnsQuery::ReadQuestion(query, asked)) {
            CDnsQuery::ReadEdns(query, asked);
            if (reply.size() > asked.UdpSize) {
                reply.resize(asked.End);
                reply[2] |= 0x02;
                std::fill(reply.begin() + 6, reply.begin() + 12, 0);
            }
        }
        Send(m_socket, reply, port);
    }
}

}  // namespace qftest
