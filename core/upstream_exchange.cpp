#include "core/upstream_exchange.h"

#include <algorithm>
#include <array>
#include <mutex>
#include <random>

#include "core/dns_cache.h"
#include "core/dns_padding.h"
#include "core/dns_tcp_framing.h"

std::uint16_t RandomQueryId() {
    // Drawn from the system's secure source for each query, not from a generator seeded once:
    // the state of a Mersenne Twister follows from some thousand of its outputs, and whoever sees
    // that many queries on a shared network could then tell the next ids and forge the replies.
    static std::mutex lock;
    static std::random_device device;
    const std::lock_guard guard(lock);
    return static_cast<std::uint16_t>(device() & 0xFFFFu);
}

struct CUpstreamExchange::Attempt {
    std::shared_ptr<CUpstreamServer> Server;
    // A plain server's socket, or the doorbell of a post to a DNS-over-HTTPS server.
    CWSocket Socket;
    std::shared_ptr<CHttpsPost> Post;
    [[nodiscard]] CWSocket& Waited() { return Post ? Post->Doorbell() : Socket; }
    std::array<std::uint8_t, 2> Id{};
    Clock::time_point SentAt{};
    std::chrono::milliseconds Delay{};
    // Added to the delay of a post for which a connection is being opened: TCP's and TLS's round
    // trips come before the query's own, two or three, where the delay learned from open
    // connections allows for two. None before the server has answered: its first delay, the
    // longest, allows for a handshake, and a server that never answers is not waited for twice.
    std::chrono::milliseconds HandshakeAllowance{};
    bool Open = false;
    // The server had its whole delay without a reply, and that was counted.
    bool Missed = false;
    // The query went padded in an EDNS record of the proxy's: the reply's goes.
    bool OptAdded = false;

    // When the server's failover delay began: when the query went, for a plain server; for a
    // post, when its client took it to the server. A post that waits in its client's queue is
    // not the server's to miss while the server replies to others, so its delay runs from the
    // later of its hand-over and the server's last reply: a queue that no reply moves (a server
    // gone silent) still fails over.
    [[nodiscard]] Clock::time_point DelayFrom() const {
        if (!Post) {
            return SentAt;
        }
        if (const std::optional<Clock::time_point> started = Post->StartedAt()) {
            return std::max(SentAt, *started);
        }
        return std::max(SentAt, Server->LastReply());
    }
    // When the server has had its delay.
    [[nodiscard]] Clock::time_point Due() const {
        const bool connecting = Post && Post->Connecting();
        return DelayFrom() + Delay +
               (connecting ? HandshakeAllowance : std::chrono::milliseconds{});
    }
};

namespace {

void SetSendTimeout(CWSocket& socket, std::uint32_t milliseconds) {
    socket.SetSockOpt(socket_option::kSendTimeout, &milliseconds, sizeof milliseconds);
}

constexpr std::string_view kDnsMessageType = "application/dns-message";

// Whether a content type is a DNS message's, its parameters and the case of its letters aside.
bool IsDnsMessageType(std::string_view contentType) {
    std::string_view type = contentType.substr(0, contentType.find(';'));
    while (!type.empty() && type.back() == ' ') {
        type.remove_suffix(1);
    }
    return std::ranges::equal(type, kDnsMessageType, [](char c, char expected) {
        return (c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) == expected;
    });
}

// The host of a DNS-over-HTTPS server's URL when it is an address.
std::optional<CSocketAddress> HostLiteral(const CUpstreamServer& server) {
    return CSocketAddress::FromText(std::string(server.HttpsHost()), 0);
}

// Where a DNS-over-HTTPS server's host is without asking anyone: the addresses its text gave or
// those found before, or the host itself when it is an address; none while unknown.
std::vector<CSocketAddress> KnownHostAddresses(const CUpstreamServer& server) {
    std::vector<CSocketAddress> addresses = server.HttpsAddresses();
    if (addresses.empty()) {
        if (const auto literal = HostLiteral(server)) {
            addresses.push_back(*literal);
        }
    }
    return addresses;
}

// Whether KnownHostAddresses would find any: asked for every query, so nothing is copied.
bool HostAddressKnown(const CUpstreamServer& server) {
    return server.HttpsAddressesKnown() || HostLiteral(server).has_value();
}

// Where a DNS-over-HTTPS server's host is: known, else asked now of the servers that host names
// may be asked of (never the server itself); a stop of `member`'s set cancels the asking.
std::vector<CSocketAddress> HttpsHostAddresses(CUpstreamServer& server,
                                               const UpstreamTarget& target,
                                               CThreadSet::Member* member) {
    std::vector<CSocketAddress> addresses = KnownHostAddresses(server);
    if (addresses.empty()) {
        addresses =
            CDnsCache::FindAddresses(target.HostLookups(), std::string(server.HttpsHost()), member);
        server.SetFoundHttpsAddresses(addresses);
    }
    return addresses;
}

// Why a post's outcome holds no DNS message: empty when it is HTTP 200 with one.
std::string PostFailure(const HttpsOutcome& outcome) {
    if (outcome.Responded && outcome.Status != 200) {
        return "HTTP status " + std::to_string(outcome.Status);
    }
    if (outcome.Responded && !IsDnsMessageType(outcome.ContentType)) {
        return "the reply is no DNS message";
    }
    return outcome.Failure;
}

bool IsErrorReply(std::span<const std::uint8_t> reply) {
    const std::uint8_t rcode = ReplyRcode(reply);
    return rcode == kRcodeServerFailure || rcode == kRcodeNotImplemented || rcode == kRcodeRefused;
}

}  // namespace

CUpstreamExchange::CUpstreamExchange(UpstreamTarget target, CThreadSet::Member* member)
    : m_target(std::move(target)), m_member(member) {}

CUpstreamExchange::~CUpstreamExchange() {
    for (const auto& attempt : m_attempts) {
        if (attempt->Open) {
            Close(*attempt, false);
        }
    }
}

std::optional<std::size_t> CUpstreamExchange::OverUdp(std::span<const std::uint8_t> query,
                                                      std::span<std::uint8_t> reply) {
    return Run(query, true, reply);
}

std::optional<std::vector<std::uint8_t>> CUpstreamExchange::OverTcp(
    std::span<const std::uint8_t> query) {
    std::vector<std::uint8_t> reply(kMaxDnsMessage);
    const std::optional<std::size_t> length = Run(query, false, reply);
    if (!length) {
        return std::nullopt;
    }
    reply.resize(*length);
    return reply;
}

void CUpstreamExchange::Prepare(std::span<const std::uint8_t> query) {
    m_prepared = true;
    std::copy_n(query.begin(), 2, m_queryId.begin());
    // A reply must repeat the question when the query asked exactly one: a query with none (an
    // EDNS cookie's), or with several, gets a reply that need not, and is judged by id alone.
    if (DnsQuestion question;
        CDnsQuery::ReadQuestion(query, question) && question.QuestionCount == 1) {
        m_question = question;
    }
    m_order = m_target.PreferenceOrder();
    m_nextSendAt = Clock::now();
    m_nextFollowsLatest = false;
    m_deadline = m_nextSendAt + m_target.Wait;
}

void CUpstreamExchange::Begin(std::span<const std::uint8_t> query) {
    if (query.size() < 2) {
        return;  // Run gives up on it
    }
    Prepare(query);
    // Finding a DNS-over-HTTPS server's host may wait for other servers: the waiting thread
    // does that.
    const CUpstreamServer& first = *m_order.front();
    if (!first.IsHttps() || HostAddressKnown(first)) {
        StartNext(query, true);
    }
}

void CUpstreamExchange::Adopt(CThreadSet::Member* member) {
    m_member = member;
    for (const auto& attempt : m_attempts) {
        if (attempt->Open) {
            Watch(*attempt);
        }
    }
}

std::optional<std::size_t> CUpstreamExchange::Run(std::span<const std::uint8_t> query, bool udp,
                                                  std::span<std::uint8_t> reply) {
    if (query.size() < 2) {
        return std::nullopt;  // no id to answer by
    }
    if (!m_prepared) {
        Prepare(query);
    }
    for (Clock::time_point now = Clock::now(); now < m_deadline; now = Clock::now()) {
        const bool more = m_next < m_order.size() && OpenAttempts() < kMaxAttempts;
        const Clock::time_point wake = NoteOverdue(now, more);
        if (more && now >= m_nextSendAt) {
            StartNext(query, udp);
            continue;
        }
        Attempt* ready = nullptr;
        if (!WaitForReply(std::min({m_deadline, wake, more ? m_nextSendAt : m_deadline}), ready)) {
            break;  // every server asked has failed, and none is left
        }
        std::size_t length = 0;
        if (ready != nullptr && Take(*ready, udp, reply, length)) {
            std::copy_n(query.begin(), 2, reply.begin());
            return length;
        }
        if (m_taken) {
            return std::nullopt;
        }
    }
    CloseAll(Clock::now());
    if (m_lastError.empty()) {
        return std::nullopt;
    }
    std::ranges::copy(m_lastError, reply.begin());
    std::copy_n(query.begin(), 2, reply.begin());
    return m_lastError.size();
}

CUpstreamExchange::Clock::time_point CUpstreamExchange::NoteOverdue(Clock::time_point now,
                                                                    bool more) {
    Clock::time_point wake = Clock::time_point::max();
    for (const auto& attempt : m_attempts) {
        if (!attempt->Open) {
            continue;
        }
        const Clock::time_point due = attempt->Due();
        // The next server is due when the latest one's delay is over, which moves while a post
        // waits in its client's queue (unless a failure or a silent server made it due at once).
        if (m_nextFollowsLatest && attempt == m_attempts.back()) {
            m_nextSendAt = due;
        }
        // A miss counts as soon as the server's delay is over, so that the third one in a row
        // marks it silent while queries still wait for it, not only when they end.
        if (!attempt->Missed && now >= due) {
            attempt->Missed = true;
            attempt->Server->Missed(now);
        }
        if (!more) {
            continue;
        }
        // Marked silent meanwhile (by this query's miss or by others'): the next server is asked
        // at once. Until then a wait is cut into slices, so that the mark is seen soon.
        if (attempt->Server->Silent()) {
            m_nextSendAt = std::min(m_nextSendAt, now);
            m_nextFollowsLatest = false;
        } else {
            wake = std::min({wake, now + kSilenceLook, due});
        }
    }
    return wake;
}

bool CUpstreamExchange::WaitForReply(Clock::time_point until, Attempt*& ready) {
    std::array<CWSocket*, CWSocket::kMaxWaited> sockets{};
    std::array<Attempt*, CWSocket::kMaxWaited> open{};
    std::size_t count = 0;
    for (const auto& attempt : m_attempts) {
        if (attempt->Open) {
            open[count] = attempt.get();
            sockets[count++] = &attempt->Waited();
        }
    }
    if (count == 0) {
        return false;
    }
    const std::optional<std::size_t> index =
        CWSocket::WaitReadable(std::span(sockets).first(count), MillisecondsLeft(until));
    ready = index ? open[*index] : nullptr;
    return true;
}

bool CUpstreamExchange::Take(Attempt& attempt, bool udp, std::span<std::uint8_t> reply,
                             std::size_t& length) {
    const Outcome outcome = Receive(attempt, udp, reply, length);
    const Clock::time_point now = Clock::now();
    switch (outcome) {
        case Outcome::kIgnored:
            return false;
        case Outcome::kServes:
            attempt.Server->Answered(
                std::chrono::duration_cast<std::chrono::microseconds>(now - attempt.DelayFrom()),
                now);
            m_answeredBy = attempt.Server;
            // Its own socket closes with the exchange, after the reply has gone out.
            CloseAll(now, &attempt);
            return true;
        case Outcome::kError:
            attempt.Server->ErrorReply(now);
            m_lastError.assign(reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(length));
            break;
        case Outcome::kFailed:
            attempt.Server->Missed(now, true);
            break;
        case Outcome::kTaken:
            m_taken = true;
            Close(attempt, false);
            CloseAll(now);
            return false;
    }
    // The next server is asked at once.
    Close(attempt, false);
    m_nextSendAt = now;
    m_nextFollowsLatest = false;
    return false;
}

bool CUpstreamExchange::StartNext(std::span<const std::uint8_t> query, bool udp) {
    auto& attempt = m_attempts.emplace_back(std::make_unique<Attempt>());
    attempt->Server = m_order[m_next++];
    attempt->Delay = attempt->Server->FailoverDelay();
    if (attempt->Server->IsHttps() && attempt->Server->HasAnswered()) {
        attempt->HandshakeAllowance = attempt->Delay;
    }
    try {
        Send(*attempt, query, udp);
    } catch (const CWSocketException&) {
        Close(*attempt, false);
        if (m_member != nullptr && m_member->Cancelled()) {
            ThrowWSocketException(socket_error::kInterrupted);
        }
        attempt->Server->Missed(Clock::now(), true);
        m_nextSendAt = Clock::now();
        m_nextFollowsLatest = false;
        return false;
    }
    attempt->Server->QuerySent();
    m_nextSendAt = attempt->SentAt + attempt->Delay;
    m_nextFollowsLatest = true;
    return true;
}

void CUpstreamExchange::Send(Attempt& attempt, std::span<const std::uint8_t> query, bool udp) {
    const std::uint16_t id = RandomQueryId();
    attempt.Id = {static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id)};
    std::vector<std::uint8_t> wire(query.begin(), query.end());
    std::ranges::copy(attempt.Id, wire.begin());
    if (attempt.Server->IsHttps()) {
        // Padded, so that the length of what leaves the machine encrypted does not tell the name.
        attempt.OptAdded = PadForEncryptedServer(wire) == QueryPadding::kOptAdded;
        Post(attempt, wire);
        return;
    }
    const CSocketAddress& address = attempt.Server->Address();
    attempt.Socket.Create(udp, address.Family());
    attempt.Open = true;
    Watch(attempt);
    attempt.SentAt = Clock::now();
    if (udp) {
        attempt.Socket.SendTo(wire.data(), wire.size(), address);
        return;
    }
    // Connecting takes part of the server's delay; the send gets what is left of the wait.
    const auto connectBy = std::min(m_deadline, attempt.SentAt + attempt.Delay);
    attempt.Socket.Connect(address, std::max<std::uint32_t>(1, MillisecondsLeft(connectBy)));
    SetSendTimeout(attempt.Socket, std::max<std::uint32_t>(1, MillisecondsLeft(m_deadline)));
    std::vector<std::uint8_t> framed(kTcpLengthPrefix + wire.size());
    PutTcpLength(std::span(framed).first<kTcpLengthPrefix>(), wire.size());
    std::ranges::copy(wire, framed.begin() + kTcpLengthPrefix);
    attempt.Socket.Send(framed.data(), framed.size());
}

void CUpstreamExchange::Post(Attempt& attempt, std::span<const std::uint8_t> wire) {
    CUpstreamServer& server = *attempt.Server;
    std::vector<CSocketAddress> addresses = HttpsHostAddresses(server, m_target, m_member);
    if (m_member != nullptr && m_member->Cancelled()) {
        ThrowWSocketException(socket_error::kInterrupted);
    }
    if (addresses.empty()) {
        server.NoteHttpsFailure("the address of " + std::string(server.HttpsHost()) +
                                " is not known");
        ThrowWSocketException(socket_error::kHostNotFound);
    }
    attempt.SentAt = Clock::now();
    // Finding the host may have taken the whole wait; a time-out of 0 would be none at all to
    // both HTTPS clients, and a post whose connection died silently would hold its thread forever.
    const std::uint32_t timeout = std::max<std::uint32_t>(1, MillisecondsLeft(m_deadline));
    attempt.Post = server.HttpsClient()->Post(
        kDnsMessageType, wire, std::chrono::milliseconds(timeout), std::move(addresses),
        m_servedHook ? Finisher(attempt) : HttpsFinisher{});
    attempt.Open = true;
    Watch(attempt);
}

void CUpstreamExchange::Watch(Attempt& attempt) {
    if (m_member != nullptr && !m_member->Watch(attempt.Waited())) {
        Close(attempt, false);
        ThrowWSocketException(socket_error::kInterrupted);
    }
}

CUpstreamExchange::Outcome CUpstreamExchange::Receive(Attempt& attempt, bool udp,
                                                      std::span<std::uint8_t> reply,
                                                      std::size_t& length) {
    try {
        if (attempt.Post) {
            return ReceivePosted(attempt, reply, length);
        }
        if (udp) {
            CSocketAddress from;
            length = attempt.Socket.ReceiveFrom(reply.data(), reply.size(), from);
            // A datagram from anywhere but the server's address and port is no reply.
            return from == attempt.Server->Address()
                       ? Judge(reply.first(length), attempt.Id, m_question)
                       : Outcome::kIgnored;
        }
        CDnsTcpFramer framer;
        if (ReadTcpMessage(attempt.Socket, framer, m_deadline) != TcpRead::kMessage) {
            return Outcome::kFailed;
        }
        const std::span<const std::uint8_t> message = framer.Message();
        length = std::min(message.size(), reply.size());
        std::copy_n(message.begin(), length, reply.begin());
        // One query per connection: anything else on it ends the attempt.
        const Outcome outcome = Judge(reply.first(length), attempt.Id, m_question);
        return outcome == Outcome::kIgnored ? Outcome::kFailed : outcome;
    } catch (const CWSocketException&) {
        if (m_member != nullptr && m_member->Cancelled()) {
            ThrowWSocketException(socket_error::kInterrupted);
        }
        return Outcome::kFailed;
    }
}

CUpstreamExchange::Outcome CUpstreamExchange::ReceivePosted(Attempt& attempt,
                                                            std::span<std::uint8_t> reply,
                                                            std::size_t& length) {
    std::optional<HttpsOutcome> outcome = attempt.Post->Take();
    if (!outcome) {
        return Outcome::kIgnored;
    }
    if (outcome->Taken) {
        return Outcome::kTaken;
    }
    if (std::string failure = PostFailure(*outcome); !failure.empty()) {
        attempt.Server->NoteHttpsFailure(std::move(failure), outcome->CertificateRejected);
        return Outcome::kFailed;
    }
    length = std::min(outcome->Body.size(), reply.size());
    std::copy_n(outcome->Body.begin(), length, reply.begin());
    if (attempt.OptAdded) {
        length = RemoveReplyOpt(reply.first(length));
    }
    const Outcome judged = Judge(reply.first(length), attempt.Id, m_question);
    if (judged != Outcome::kIgnored) {
        return judged;
    }
    // One query per post: anything else that came back is a failure of the server.
    attempt.Server->NoteHttpsFailure("the reply answers another question");
    return Outcome::kFailed;
}

CUpstreamExchange::Outcome CUpstreamExchange::Judge(std::span<const std::uint8_t> reply,
                                                    std::array<std::uint8_t, 2> id,
                                                    const std::optional<DnsQuestion>& question) {
    if (reply.size() < 2 || reply[0] != id[0] || reply[1] != id[1]) {
        return Outcome::kIgnored;
    }
    if (question &&
        !ReplyAnswersQuestion(reply, question->Name.View(), question->Type, question->Class)) {
        return Outcome::kIgnored;
    }
    return IsErrorReply(reply) ? Outcome::kError : Outcome::kServes;
}

HttpsFinisher CUpstreamExchange::Finisher(const Attempt& attempt) const {
    // Copies only: the exchange may have ended when the post ends. The server is held by address
    // alone: a post may outlive every other owner of it, and its end must never come on the
    // client's own thread (it joins that thread). It is touched only once the hook has taken the
    // reply, while the exchange that holds it waits.
    return [served = m_servedHook, unserved = m_unservedHook, server = attempt.Server.get(),
            id = attempt.Id, question = m_question, queryId = m_queryId,
            optAdded = attempt.OptAdded](HttpsOutcome& outcome) {
        const Clock::time_point now = Clock::now();
        if (PostFailure(outcome).empty() && Judge(outcome.Body, id, question) == Outcome::kServes) {
            // Only here: a reply left to the waiting thread is made ready there (ReceivePosted).
            if (optAdded) {
                outcome.Body.resize(RemoveReplyOpt(outcome.Body));
            }
            std::ranges::copy(queryId, outcome.Body.begin());
            return served(outcome.Body, [&] {
                server->Answered(
                    std::chrono::duration_cast<std::chrono::microseconds>(now - outcome.Started),
                    now);
            });
        }
        if (unserved) {
            unserved();  // the waiting thread judges it again and counts it
        }
        return FinisherVerdict::kLeft;
    };
}

CWSocket* CUpstreamExchange::LoneUdpSocket() const {
    if (OpenAttempts() != 1 || !m_attempts.back()->Open || m_attempts.back()->Post) {
        return nullptr;
    }
    return &m_attempts.back()->Socket;
}

std::optional<std::size_t> CUpstreamExchange::TakeArrived(std::span<const std::uint8_t> query,
                                                          std::span<std::uint8_t> reply) {
    Attempt& attempt = *m_attempts.back();
    std::size_t length = 0;
    if (query.size() < 2 || !attempt.Open || !Take(attempt, true, reply, length)) {
        return std::nullopt;
    }
    std::copy_n(query.begin(), 2, reply.begin());
    return length;
}

bool CUpstreamExchange::OnlyPosted() const {
    return OpenAttempts() == 1 && m_attempts.back()->Open && m_attempts.back()->Post;
}

void CUpstreamExchange::Close(Attempt& attempt, bool missed) {
    if (!attempt.Open) {
        return;
    }
    attempt.Open = false;
    if (m_member != nullptr) {
        m_member->Unwatch(attempt.Waited());
    }
    if (attempt.Post) {
        attempt.Post->Cancel();
    }
    attempt.Socket.Close();
    if (missed && !attempt.Missed) {
        attempt.Missed = true;
        attempt.Server->Missed(Clock::now());
    }
}

void CUpstreamExchange::CloseAll(Clock::time_point now, const Attempt* kept) {
    for (const auto& attempt : m_attempts) {
        if (attempt.get() != kept) {
            Close(*attempt, now >= attempt->Due());
        }
    }
}

std::size_t CUpstreamExchange::OpenAttempts() const {
    return static_cast<std::size_t>(
        std::ranges::count_if(m_attempts, [](const auto& attempt) { return attempt->Open; }));
}
