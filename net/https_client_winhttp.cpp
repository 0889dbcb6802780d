// The HTTPS client on WinHTTP, which Windows has: one session and one connection handle per
// server (a new handle after a post that got no response), and a few threads that each carry
// one post at a time with WinHTTP's blocking calls.
// WinHTTP keeps the connections open between posts and uses HTTP/2 where Windows and the server
// offer it. It cannot be told where the host is: the system's resolver finds it (which, while
// the proxy serves the machine, asks the proxy, and the proxy answers a DNS-over-HTTPS server's
// own name itself).

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winhttp.h>
#include <winsock2.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <thread>

#include "net/https_client.h"

namespace {

// Posts carried at once; more wait for a free thread.
constexpr std::size_t kMaxThreads = 8;

std::wstring Wide(std::string_view text) {
    return {text.begin(), text.end()};  // host names and paths are ASCII
}

bool IsCertificateFailure(DWORD error) {
    switch (error) {
        case ERROR_WINHTTP_SECURE_FAILURE:
        case ERROR_WINHTTP_SECURE_INVALID_CA:
        case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
        case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
        case ERROR_WINHTTP_SECURE_CERT_REVOKED:
        case ERROR_WINHTTP_SECURE_INVALID_CERT:
        case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
            return true;
        default:
            return false;
    }
}

// WinHTTP's word that it opens a connection for a request: the request's post is its context.
void CALLBACK OnStatus(HINTERNET /*handle*/, DWORD_PTR context, DWORD status, LPVOID /*info*/,
                       DWORD /*length*/) {
    if (status == WINHTTP_CALLBACK_STATUS_CONNECTING_TO_SERVER && context != 0) {
        reinterpret_cast<CHttpsPost*>(context)->MarkConnecting();
    }
}

struct Pending {
    std::shared_ptr<CHttpsPost> Post{};
    std::wstring Headers{};
    // The target's path and the query (DnsQueryPath).
    std::wstring Path{};
    std::chrono::milliseconds Timeout{};
};

// Closes a WinHTTP handle when it goes out of scope.
struct Handle {
    HINTERNET Value = nullptr;
    ~Handle() {
        if (Value != nullptr) {
            WinHttpCloseHandle(Value);
        }
    }
};

// What the client shares with its threads. A thread inside a post when the client goes keeps
// it until the post ends: WinHTTP's blocking calls cannot be cut short, and a server that
// never answers holds one for the post's whole time-out (under Wine, a handshake that never
// ends holds it for good), which the client's owner must not wait for.
struct Shared {
    explicit Shared(const HttpsTarget& target);
    // Carries the queued posts, one at a time, until the client goes.
    static void Work(std::shared_ptr<Shared> shared, std::size_t place);
    HttpsOutcome Carry(Pending& pending, HINTERNET connection);
    [[nodiscard]] HttpsOutcome Failed(DWORD error) const;
    [[nodiscard]] std::shared_ptr<Handle> Connect() const;
    // After a post that got no response: the next posts go over a new connection handle, which
    // finds the host anew. A handle keeps the address it first found (under Wine, for good), so
    // the old one would go on to an address the proxy no longer gives for the host (the watch
    // asks a silent server's host again), or one that has stopped answering.
    void Reconnect(const std::shared_ptr<Handle>& failed);

    const HttpsTarget Target;
    Handle Session;
    CWSocket Ringer;
    std::mutex Lock;
    std::condition_variable Wake;
    std::deque<Pending> Queue;
    std::size_t Idle = 0;
    bool Stopping = false;
    // The posts' connection handle; each post holds the one it went over.
    std::shared_ptr<Handle> Connection;
    // The post each thread carries, by the thread's place; none while it waits.
    std::vector<std::shared_ptr<CHttpsPost>> Carried;
};

}  // namespace

struct CHttpsClient::Driver {
    explicit Driver(const HttpsTarget& target) : State(std::make_shared<Shared>(target)) {}
    ~Driver();
    void Add(Pending pending);

    const std::shared_ptr<Shared> State;
    // By place, under the state's lock.
    std::vector<std::thread> Threads;
};

Shared::Shared(const HttpsTarget& target) : Target(target) {
    Session.Value = WinHttpOpen(L"Quillforth", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                WINHTTP_NO_PROXY_BYPASS, 0);
    if (Session.Value != nullptr) {
        // Where Windows has it (10 1607 and later); elsewhere HTTP/1.1 connections serve.
        DWORD protocols = WINHTTP_PROTOCOL_FLAG_HTTP2;
        WinHttpSetOption(Session.Value, WINHTTP_OPTION_ENABLE_HTTP_PROTOCOL, &protocols,
                         sizeof protocols);
        // Made before the connection and request handles, which take it from the session.
        WinHttpSetStatusCallback(Session.Value, OnStatus, WINHTTP_CALLBACK_FLAG_CONNECT_TO_SERVER,
                                 0);
    }
    Connection = Connect();
    Ringer.Create(true, AddressFamily::kIpv4);
}

std::shared_ptr<Handle> Shared::Connect() const {
    auto connection = std::make_shared<Handle>();
    if (Session.Value != nullptr) {
        connection->Value =
            WinHttpConnect(Session.Value, Wide(Target.Host).c_str(), Target.Port, 0);
    }
    return connection;
}

void Shared::Reconnect(const std::shared_ptr<Handle>& failed) {
    std::shared_ptr<Handle> fresh = Connect();
    const std::lock_guard guard(Lock);
    if (Connection == failed) {
        Connection.swap(fresh);  // the old one closes when its last post ends
    }
}

CHttpsClient::Driver::~Driver() {
    std::deque<Pending> queued;
    std::vector<bool> carrying;
    {
        const std::lock_guard guard(State->Lock);
        State->Stopping = true;
        queued.swap(State->Queue);
        for (const std::shared_ptr<CHttpsPost>& post : State->Carried) {
            carrying.push_back(post != nullptr);
            if (post) {
                post->Cancel();  // nothing of the poster's is called when it ends
            }
        }
    }
    State->Wake.notify_all();
    // A waiting thread ends at once. One inside a post is let go: it touches nothing but the
    // shared state and its cancelled post, and ends when the post does.
    for (std::size_t place = 0; place < Threads.size(); ++place) {
        if (carrying[place]) {
            Threads[place].detach();
        } else {
            Threads[place].join();
        }
    }
    for (Pending& pending : queued) {
        pending.Post->Finish({.Failure = "stopped"}, State->Ringer);
    }
}

void CHttpsClient::Driver::Add(Pending pending) {
    {
        const std::lock_guard guard(State->Lock);
        State->Queue.push_back(std::move(pending));
        if (State->Idle == 0 && Threads.size() < kMaxThreads) {
            State->Carried.emplace_back();
            Threads.emplace_back(&Shared::Work, State, Threads.size());
        }
    }
    State->Wake.notify_one();
}

void Shared::Work(std::shared_ptr<Shared> shared, std::size_t place) {
    Shared& state = *shared;
    std::unique_lock lock(state.Lock);
    for (;;) {
        ++state.Idle;
        state.Wake.wait(lock, [&state] { return state.Stopping || !state.Queue.empty(); });
        --state.Idle;
        if (state.Stopping) {
            return;
        }
        Pending pending = std::move(state.Queue.front());
        state.Queue.pop_front();
        state.Carried[place] = pending.Post;
        const std::shared_ptr<Handle> connection = state.Connection;
        lock.unlock();
        if (!pending.Post->Cancelled()) {
            pending.Post->MarkStarted();
            HttpsOutcome outcome = state.Carry(pending, connection->Value);
            if (!outcome.Responded) {
                state.Reconnect(connection);
            }
            pending.Post->Finish(std::move(outcome), state.Ringer);
        }
        lock.lock();
        state.Carried[place].reset();
    }
}

HttpsOutcome Shared::Carry(Pending& pending, HINTERNET connection) {
    // WinHTTP's time-outs limit each call, not the post: a server that trickles its reply a few
    // bytes at a time would hold the thread, one of a few, for minutes.
    const auto deadline = std::chrono::steady_clock::now() + pending.Timeout;
    Handle request;
    request.Value = connection == nullptr
                        ? nullptr
                        : WinHttpOpenRequest(connection, L"GET", pending.Path.c_str(), nullptr,
                                             WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                             WINHTTP_FLAG_SECURE);
    if (request.Value == nullptr) {
        return Failed(GetLastError());
    }
    const int timeout = static_cast<int>(pending.Timeout.count());
    WinHttpSetTimeouts(request.Value, timeout, timeout, timeout, timeout);
    // WinHTTP would keep a server's cookies and send them back with every query, which links the
    // user's queries across addresses and networks, and would follow a redirect, which sends the
    // query (it is in the URL) to a host the user never listed: a redirect is a failure instead.
    DWORD disabled = WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_REDIRECTS;
    WinHttpSetOption(request.Value, WINHTTP_OPTION_DISABLE_FEATURE, &disabled, sizeof disabled);
    if (!WinHttpSendRequest(request.Value, pending.Headers.c_str(),
                            static_cast<DWORD>(pending.Headers.size()), WINHTTP_NO_REQUEST_DATA, 0,
                            0, reinterpret_cast<DWORD_PTR>(pending.Post.get())) ||
        !WinHttpReceiveResponse(request.Value, nullptr)) {
        return Failed(GetLastError());
    }
    HttpsOutcome outcome;
    DWORD status = 0;
    DWORD size = sizeof status;
    WinHttpQueryHeaders(request.Value, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
    wchar_t type[128] = {};
    size = sizeof type;
    if (WinHttpQueryHeaders(request.Value, WINHTTP_QUERY_CONTENT_TYPE, WINHTTP_HEADER_NAME_BY_INDEX,
                            type, &size, WINHTTP_NO_HEADER_INDEX)) {
        for (const wchar_t* c = type; *c != 0; ++c) {
            outcome.ContentType += static_cast<char>(*c < 0x80 ? *c : '?');
        }
    }
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || pending.Post->Cancelled()) {
            return Failed(ERROR_WINHTTP_TIMEOUT);
        }
        auto receiveTimeout = static_cast<DWORD>(left.count());
        WinHttpSetOption(request.Value, WINHTTP_OPTION_RECEIVE_TIMEOUT, &receiveTimeout,
                         sizeof receiveTimeout);
        // What has come, read as it comes: a read of more (under Wine) waits until it has all.
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request.Value, &available)) {
            return Failed(GetLastError());
        }
        std::uint8_t chunk[4096];
        DWORD read = 0;
        if (available > 0 && !WinHttpReadData(request.Value, chunk,
                                              std::min<DWORD>(available, sizeof chunk), &read)) {
            return Failed(GetLastError());
        }
        if (read == 0) {
            break;
        }
        if (outcome.Body.size() + read > kMaxHttpsBody) {
            return {.Failure = "reply too long"};
        }
        outcome.Body.insert(outcome.Body.end(), chunk, chunk + read);
    }
    outcome.Responded = true;
    outcome.Status = static_cast<int>(status);
    return outcome;
}

HttpsOutcome Shared::Failed(DWORD error) const {
    if (IsCertificateFailure(error)) {
        return {.Failure = "certificate of " + Target.Host + " not trusted",
                .CertificateRejected = true};
    }
    return {.Failure = "WinHTTP error " + std::to_string(error)};
}

CHttpsClient::CHttpsClient(HttpsTarget target)
    : m_target(std::move(target)), m_driver(std::make_unique<Driver>(m_target)) {}

CHttpsClient::~CHttpsClient() = default;

std::shared_ptr<CHttpsPost> CHttpsClient::Post(std::string_view accept,
                                               std::span<const std::uint8_t> query,
                                               std::chrono::milliseconds timeout,
                                               std::vector<CSocketAddress> /*addresses*/,
                                               HttpsFinisher finisher) {
    auto post = std::make_shared<CHttpsPost>(m_doorbells, std::move(finisher));
    m_driver->Add({.Post = post,
                   .Headers = L"Accept: " + Wide(accept) + L"\r\n",
                   .Path = Wide(DnsQueryPath(m_target.Path, query)),
                   .Timeout = timeout});
    return post;
}
