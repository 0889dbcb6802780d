#pragma once

// One question's way to the upstream servers, over UDP or TCP: it owns the sockets of its
// attempts (one per server asked) for as long as it runs. The proxy's forwards, the resolver
// and the probes all ask through it.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "core/dns_packet.h"
#include "core/thread_set.h"
#include "core/upstream_settings.h"
#include "net/https_client.h"
#include "net/wsocket.h"

// A fresh random query id, so that a blind spoofer has to guess it.
std::uint16_t RandomQueryId();

// Asks the servers of a target one question, as Windows' own resolver does: plain servers over
// UDP or TCP, DNS-over-HTTPS servers (RFC 8484, a GET of the query) over the connections of the
// server's HTTPS client whatever the client came by. The query goes to
// the preferred server; when no reply has come within that server's failover delay, it goes to
// the next server of the preference order as well, and so on, while the wait lasts. The first
// reply that serves is taken and later ones are dropped. An error reply (server failure,
// refused, not implemented) sends the query on to the next server at once; when every server
// asked has failed, the last error reply is the result. A server that got the query and gave no
// reply within its failover delay has missed it, counted at once; when it is found silent while
// the query still waits for it, the next server is asked at once. A DNS-over-HTTPS server gets
// the query when its client takes the post to it: the post's wait in the client's queue, while
// the server replies to others, is neither a miss nor a reason to ask the next server.
//
// Each server gets the query with a random id of its own, from a socket of its own, and only a
// reply from that server's address and port, with that id and with the query's question (the
// name in any letter case, type and class) counts. The result carries the query's own id again.
// A query whose question cannot be read is checked by id and sender alone.
//
// A stop of the thread set that `member` belongs to closes the sockets and ends the exchange
// with socket_error::kInterrupted thrown.
class CUpstreamExchange {
public:
    // At most this many servers wait for a reply at once (each holds a socket).
    static constexpr std::size_t kMaxAttempts = CWSocket::kMaxWaited - 1;
    // How often a query that waits for a server looks whether others found it silent meanwhile.
    static constexpr std::chrono::milliseconds kSilenceLook{20};

    // `member`: the thread-set member whose stop must cancel the exchange (none: not cancelled).
    CUpstreamExchange(UpstreamTarget target, CThreadSet::Member* member);
    CUpstreamExchange(const CUpstreamExchange&) = delete;
    CUpstreamExchange& operator=(const CUpstreamExchange&) = delete;
    ~CUpstreamExchange();

    // Readies the schedule for `query` and sends it to the preferred server at once when that
    // cannot wait (a plain server, or a DNS-over-HTTPS server whose addresses are known): the
    // thread that takes a query in starts its forward, and the one that waits for the reply
    // takes the exchange over meanwhile (Adopt, then OverUdp with the same query).
    void Begin(std::span<const std::uint8_t> query);
    // Called on an HTTPS client's thread when a post to a DNS-over-HTTPS server ends, before the
    // waiting thread hears of it: `served` with a reply that serves (the query's own id on it),
    // which it may take (then the exchange ends without a result); it calls `claimed` as soon as
    // the reply is its own, while whoever holds the exchange still waits for it. `unserved` when
    // the post brought no such reply. Set before Begin.
    using ReplyHook = std::function<FinisherVerdict(std::span<std::uint8_t> reply,
                                                    const std::function<void()>& claimed)>;
    void SetPostHooks(ReplyHook served, std::function<void()> unserved) {
        m_servedHook = std::move(served);
        m_unservedHook = std::move(unserved);
    }
    // After Begin: the one attempt under way is a post, so that no thread need wait for the
    // exchange before its next send is due (NextSendAt) or the post ends (the hooks).
    [[nodiscard]] bool OnlyPosted() const;
    [[nodiscard]] std::chrono::steady_clock::time_point NextSendAt() const { return m_nextSendAt; }
    // After Begin: the socket of the one attempt under way when it is a plain server's over UDP,
    // which the thread that sent it may watch itself; none otherwise.
    [[nodiscard]] CWSocket* LoneUdpSocket() const;
    // For that thread, once the socket has something: reads it and judges it as OverUdp would,
    // without sending or waiting. The reply's length when it serves; none when it does not, the
    // exchange then left for a worker to carry on (an error reply or a failure has made the next
    // send due at once).
    std::optional<std::size_t> TakeArrived(std::span<const std::uint8_t> query,
                                           std::span<std::uint8_t> reply);
    // The thread that waits for the replies takes the exchange over: a stop of `member`'s set
    // cancels it from now on (socket_error::kInterrupted thrown when it is stopping already).
    void Adopt(CThreadSet::Member* member);

    // Over UDP: the reply's length at the start of `reply` (kMaxDnsMessage bytes are room for
    // any), or none when no server replied in time.
    std::optional<std::size_t> OverUdp(std::span<const std::uint8_t> query,
                                       std::span<std::uint8_t> reply);
    // Over TCP (each attempt connects within its server's failover delay): the reply, or none.
    std::optional<std::vector<std::uint8_t>> OverTcp(std::span<const std::uint8_t> query);

    // The server whose reply was taken; none before a reply or without one.
    [[nodiscard]] const std::shared_ptr<CUpstreamServer>& AnsweredBy() const {
        return m_answeredBy;
    }

private:
    struct Attempt;
    // kTaken: the reply hook took a reply on an HTTPS client's thread.
    enum class Outcome { kIgnored, kServes, kError, kFailed, kTaken };
    using Clock = std::chrono::steady_clock;

    // The query's question, the order of the servers and the times, from now.
    void Prepare(std::span<const std::uint8_t> query);
    // Runs the schedule: the reply's length in `reply`, or none.
    std::optional<std::size_t> Run(std::span<const std::uint8_t> query, bool udp,
                                   std::span<std::uint8_t> reply);
    // Counts the misses of the attempts whose delay is over and moves the next send to now when
    // a server waited for has been found silent; gives when to look again.
    Clock::time_point NoteOverdue(Clock::time_point now, bool more);
    // Waits until `until` for something to arrive on an open attempt, which `ready` then names
    // (none when the time passed); false when no attempt is open.
    bool WaitForReply(Clock::time_point until, Attempt*& ready);
    // Reads what arrived for an attempt and judges it: true when `reply` holds the reply taken,
    // of `length` bytes. An error reply or a failure closes the attempt and asks the next server
    // at once.
    bool Take(Attempt& attempt, bool udp, std::span<std::uint8_t> reply, std::size_t& length);
    // Sends the query to the next server; false when that failed (the server missed it).
    bool StartNext(std::span<const std::uint8_t> query, bool udp);
    void Send(Attempt& attempt, std::span<const std::uint8_t> query, bool udp);
    // Posts the query to a DNS-over-HTTPS server, finding its host first when it must.
    void Post(Attempt& attempt, std::span<const std::uint8_t> wire);
    // Registers what the attempt waits on with the thread set's member, if any.
    void Watch(Attempt& attempt);
    Outcome Receive(Attempt& attempt, bool udp, std::span<std::uint8_t> reply, std::size_t& length);
    // What a post to a DNS-over-HTTPS server brought: a failure unless HTTP 200 with a DNS
    // message.
    Outcome ReceivePosted(Attempt& attempt, std::span<std::uint8_t> reply, std::size_t& length);
    // A reply's verdict for a query sent with `id`: ignored unless it has that id and answers
    // `question` (when that could be read).
    static Outcome Judge(std::span<const std::uint8_t> reply, std::array<std::uint8_t, 2> id,
                         const std::optional<DnsQuestion>& question);
    // The finisher of a post, which offers a reply that serves to the hooks.
    HttpsFinisher Finisher(const Attempt& attempt) const;
    // Closes an attempt's socket; a server that had its whole delay and no reply missed it.
    void Close(Attempt& attempt, bool missed);
    // Closes every attempt but `kept`.
    void CloseAll(Clock::time_point now, const Attempt* kept = nullptr);
    [[nodiscard]] std::size_t OpenAttempts() const;

    const UpstreamTarget m_target;
    CThreadSet::Member* m_member;
    bool m_prepared = false;
    UpstreamServerList m_order;
    std::size_t m_next = 0;
    Clock::time_point m_nextSendAt{};
    // m_nextSendAt is when the latest attempt's delay ends, and follows it.
    bool m_nextFollowsLatest = false;
    Clock::time_point m_deadline{};
    std::vector<std::unique_ptr<Attempt>> m_attempts;
    // The query's question, for the reply checks: none when it cannot be read.
    std::optional<DnsQuestion> m_question;
    std::array<std::uint8_t, 2> m_queryId{};
    ReplyHook m_servedHook;
    std::function<void()> m_unservedHook;
    bool m_taken = false;
    std::vector<std::uint8_t> m_lastError;
    std::shared_ptr<CUpstreamServer> m_answeredBy;
};
