#pragma once

// The DNS queries posted to one DNS-over-HTTPS server, each an HTTPS GET (RFC 8484), over
// connections kept open and reused: libcurl on Linux (one multi handle, HTTP/2 where the server
// offers it), WinHTTP on Windows. A client owns its connections and the thread that drives them;
// a post that a thread waits for owns a doorbell socket, which that thread can watch with the
// sockets of its other work (CWSocket::WaitReadable).

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "net/socket_address.h"
#include "net/wsocket.h"

// Where the posts go. The certificate chain and the host name are always checked against the
// system's trusted roots.
struct HttpsTarget {
    // A name, an IPv4 address or an IPv6 address without brackets.
    std::string Host;
    std::uint16_t Port = 443;
    // From the first "/".
    std::string Path = "/";
};

// What became of one post.
struct HttpsOutcome {
    // Whether an HTTP response came; the rest of the fields then hold it.
    bool Responded = false;
    int Status = 0;
    std::string ContentType{};
    std::vector<std::uint8_t> Body{};
    // Why no response came, in a few words for the status box.
    std::string Failure{};
    bool CertificateRejected = false;
    // The poster's finisher took the response on the client's thread (the body is gone).
    bool Taken = false;
    // When the client took the post to the server (CHttpsPost::MarkStarted): its round trip.
    std::chrono::steady_clock::time_point Started{};
};

// What a finisher did with a post's outcome.
enum class FinisherVerdict {
    // Left to the poster, who judges the outcome.
    kLeft,
    // Taken and acted on: the doorbell rings if a thread has taken it to wait (one that takes it
    // later finds it rung).
    kTaken,
};

// Called on the client's thread when a post has ended, before its doorbell rings: it may take the
// outcome's response and act on it, which spares the poster's thread a wake-up on the way of a
// reply. It must not wait for the poster.
using HttpsFinisher = std::function<FinisherVerdict(HttpsOutcome&)>;

// A client's spare doorbells: UDP sockets bound on ports of 127.0.0.1 that the system chose. A
// post that a thread waits for takes one and gives it back when it goes, so that a post costs no
// socket of its own. A post reads the ring it made before it gives its doorbell back, so a
// doorbell given back holds none.
class CDoorbells {
public:
    struct Doorbell {
        CWSocket Socket;
        std::uint16_t Port = 0;
    };
    // A spare one, or a new one; a socket failure is thrown.
    Doorbell Take();
    // Kept as a spare, or closed when kMostSpare are kept already: a burst of waits (the
    // threads of many late replies) leaves no sockets open behind it.
    void GiveBack(Doorbell doorbell);

    static constexpr std::size_t kMostSpare = 16;

private:
    std::mutex m_lock;
    std::vector<Doorbell> m_spare;
};

// How a client's thread is woken for posts handed over, shared with the batches that put the
// wake-up off: a client disarms it before it goes, so that a batch that outlives it wakes nothing.
class CHttpsWaker {
public:
    explicit CHttpsWaker(std::function<void()> wake) : m_wake(std::move(wake)) {}
    void Wake();
    void Disarm();

private:
    std::mutex m_lock;
    std::function<void()> m_wake;
};

// While one lives on a thread, the posts made there wake their clients' threads once, when it
// goes, rather than once each: a client's thread that ran at each post, on a busy processor,
// would send one query per turn instead of all that came in together. A UDP listener opens one
// for each batch of datagrams it takes in.
class CHttpsWakeBatch {
public:
    CHttpsWakeBatch();
    CHttpsWakeBatch(const CHttpsWakeBatch&) = delete;
    CHttpsWakeBatch& operator=(const CHttpsWakeBatch&) = delete;
    ~CHttpsWakeBatch();

    // For a client: keeps `waker` for the end of the batch open on this thread (true), or
    // false when none is open.
    static bool Defer(const std::shared_ptr<CHttpsWaker>& waker);

private:
    std::vector<std::shared_ptr<CHttpsWaker>> m_wakers;
    CHttpsWakeBatch* m_outer;
};

// One post on its way. The client's thread rings the doorbell once when the post has ended;
// Take then gives its outcome. The doorbell is taken when a thread first wants to wait for it:
// a post whose end no thread waits for (its reply taken by the finisher) costs no socket.
class CHttpsPost {
public:
    CHttpsPost(std::shared_ptr<CDoorbells> doorbells, HttpsFinisher finisher);
    CHttpsPost(const CHttpsPost&) = delete;
    CHttpsPost& operator=(const CHttpsPost&) = delete;
    ~CHttpsPost();

    // Taken at the first call, and rung at once when the post has ended already; a socket
    // failure is thrown.
    [[nodiscard]] CWSocket& Doorbell();
    // The outcome once the post has ended (the doorbell's datagram is read and dropped); none
    // before.
    std::optional<HttpsOutcome> Take();
    // The poster no longer waits: the client drops the post at its next turn (a post that has
    // ended already has nothing to drop, and the client is not woken for it).
    void Cancel();

    // The client's side. `wake` is called on a cancel, so that the client drops the post at
    // once; it must stay callable for as long as the client lives.
    void OnCancel(std::function<void()> wake);
    [[nodiscard]] bool Cancelled() const;
    // The post leaves the client's queue for the server now: a thread or a connection of the
    // client takes it, or a connection is opened for it. Later calls change nothing.
    void MarkStarted();
    // When it did; none while the post waits in the queue (WinHTTP carries a few posts at once,
    // a server of HTTP/1.1 takes one per connection), so that the wait is not taken for the
    // server's.
    [[nodiscard]] std::optional<std::chrono::steady_clock::time_point> StartedAt() const;
    // A connection is being opened for the post, or for the posts it waits behind: the
    // handshake's round trips come before the query's own.
    void MarkConnecting();
    [[nodiscard]] bool Connecting() const;
    // Offers the outcome to the finisher (unless cancelled), keeps it and rings through
    // `ringer`, a UDP socket of the client's, unless the finisher took it with no one waiting.
    void Finish(HttpsOutcome outcome, CWSocket& ringer);

private:
    // Sends the ring to the doorbell, which is there.
    void RingFrom(CWSocket& ringer);
    // Reads the doorbell's ring, waiting a millisecond at most: false when none came.
    static bool ReadRing(CWSocket& doorbell);

    const std::shared_ptr<CDoorbells> m_doorbells;
    const HttpsFinisher m_finisher;
    mutable std::mutex m_lock;
    // Set once, under the lock; its socket is used without it.
    std::optional<CDoorbells::Doorbell> m_doorbell;
    std::optional<HttpsOutcome> m_outcome;
    bool m_finished = false;
    bool m_cancelled = false;
    std::optional<std::chrono::steady_clock::time_point> m_started;
    bool m_connecting = false;
    // The ring was sent, and read by Take: a ring sent and never read is read when the post goes.
    bool m_rang = false;
    bool m_ringRead = false;
    std::function<void()> m_wake;
};

// The posts to one server. Every member may be called from any thread.
class CHttpsClient {
public:
    explicit CHttpsClient(HttpsTarget target);
    CHttpsClient(const CHttpsClient&) = delete;
    CHttpsClient& operator=(const CHttpsClient&) = delete;
    // Drops the posts under way (their doorbells ring with a failure) and ends its threads, and
    // never waits for the network: where a post is held in a blocking call (WinHTTP), it is
    // cancelled instead, and its thread let go with it.
    ~CHttpsClient();

    // Posts `query`, a DNS message, as RFC 8484's GET: in base64url as the "dns" parameter of
    // the target's path (DnsQueryPath), asking for `accept`, to be answered within `timeout`.
    // A GET is one HTTP/2 frame, where a POST is two (its headers, then its body), which libcurl
    // writes to the connection one at a time. `addresses` are where the host is, when known: the
    // connection goes there and the certificate is still checked for the host's name (where the
    // platform cannot choose the address, the system's resolver finds the host). `finisher`, if
    // any, is offered the outcome first.
    std::shared_ptr<CHttpsPost> Post(std::string_view accept, std::span<const std::uint8_t> query,
                                     std::chrono::milliseconds timeout,
                                     std::vector<CSocketAddress> addresses,
                                     HttpsFinisher finisher = {});

    [[nodiscard]] const HttpsTarget& Target() const { return m_target; }

private:
    struct Driver;  // the platform part

    const HttpsTarget m_target;
    const std::shared_ptr<CDoorbells> m_doorbells = std::make_shared<CDoorbells>();
    std::unique_ptr<Driver> m_driver;
};

// `path` asking `query`: with the query in base64url without padding (RFC 4648) as its "dns"
// parameter, after the path's own parameters if it has any.
std::string DnsQueryPath(std::string_view path, std::span<const std::uint8_t> query);

// The longest response body taken: the largest DNS message.
inline constexpr std::size_t kMaxHttpsBody = 65535;
