// The HTTPS client on WinHTTP, which Windows has: one session and one connection handle per
// server, and a few threads that each carry one post at a time with WinHTTP's blocking calls.
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

}  // namespace

struct CHttpsClient::Driver {
    explicit Driver(const HttpsTarget& target);
    ~Driver();
    void Add(Pending pending);
    void Work();
    HttpsOutcome Carry(Pending& pending);
    HttpsOutcome Failed(DWORD error) const;

    const HttpsTarget& Target;
    Handle Session;
    Handle Connection;
    CWSocket Ringer;
    std::mutex Lock;
    std::condition_variable Wake;
    std::deque<Pending> Queue;
    std::size_t Idle = 0;
    bool Stopping = false;
    std::vector<std::thread> Threads;
};

CHttpsClient::Driver::Driver(const HttpsTarget& target) : Target(target) {
    Session.Value = WinHttpOpen(L"Quillforth", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                WINHTTP_NO_PROXY_BYPASS, 0);
    if (Session.Value != nullptr) {
        // Where Windows has it (10 1607 and later); elsewhere HTTP/1.1 connections serve.
        DWORD protocols = WINHTTP_PROTOCOL_FLAG_HTTP2;
        WinHttpSetOption(Session.Value, WINHTTP_OPTION_ENABLE_HTTP_PROTOCOL, &protocols,
                         sizeof protocols);
        Connection.Value = WinHttpConnect(Session.Value, Wide(target.Host).c_str(), target.Port, 0);
    }
    Ringer.Create(true, AddressFamily::kIpv4);
}

CHttpsClient::Driver::~Driver() {
    {
        const std::lock_guard guard(Lock);
        Stopping = true;
    }
    Wake.notify_all();
    // A thread inside a post ends with it, within the post's time-out.
    for (std::thread& thread : Threads) {
        thread.join();
    }
    for (Pending& pending : Queue) {
        pending.Post->Finish({.Failure = "stopped"}, Ringer);
    }
}

void CHttpsClient::Driver::Add(Pending pending) {
    {
        const std::lock_guard guard(Lock);
        Queue.push_back(std::move(pending));
        if (Idle == 0 && Threads.size() < kMaxThreads) {
            Threads.emplace_back(&Driver::Work, this);
        }
    }
    Wake.notify_one();
}

void CHttpsClient::Driver::Work() {
    std::unique_lock lock(Lock);
    for (;;) {
        ++Idle;
        Wake.wait(lock, [this] { return Stopping || !Queue.empty(); });
        --Idle;
        if (Stopping) {
            return;
        }
        Pending pending = std::move(Queue.front());
        Queue.pop_front();
        lock.unlock();
        if (!pending.Post->Cancelled()) {
            pending.Post->Finish(Carry(pending), Ringer);
        }
        lock.lock();
    }
}

HttpsOutcome CHttpsClient::Driver::Carry(Pending& pending) {
    Handle request;
    request.Value = Connection.Value == nullptr
                        ? nullptr
                        : WinHttpOpenRequest(Connection.Value, L"GET", pending.Path.c_str(),
                                             nullptr, WINHTTP_NO_REFERER,
                                             WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE);
    if (request.Value == nullptr) {
        return Failed(GetLastError());
    }
    const int timeout = static_cast<int>(pending.Timeout.count());
    WinHttpSetTimeouts(request.Value, timeout, timeout, timeout, timeout);
    if (!WinHttpSendRequest(request.Value, pending.Headers.c_str(),
                            static_cast<DWORD>(pending.Headers.size()), WINHTTP_NO_REQUEST_DATA, 0,
                            0, 0) ||
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
        std::uint8_t chunk[4096];
        DWORD read = 0;
        if (!WinHttpReadData(request.Value, chunk, sizeof chunk, &read)) {
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

HttpsOutcome CHttpsClient::Driver::Failed(DWORD error) const {
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
