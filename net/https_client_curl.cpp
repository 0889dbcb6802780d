// The HTTPS client on libcurl: one multi handle per server, driven by one thread, so that every
// post shares the connections it keeps open (HTTP/2 streams on one connection where the server
// offers it, else several HTTP/1.1 connections).

#include <curl/curl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <list>
#include <map>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "net/https_client.h"

namespace {

std::once_flag g_curlInit;

// The text of an address for a URL or a resolve entry: IPv6 in brackets.
std::string HostText(const CSocketAddress& address) {
    return address.Family() == AddressFamily::kIpv6 ? "[" + address.AddressText() + "]"
                                                    : address.AddressText();
}

std::string HostInUrl(const std::string& host) {
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

bool IsCertificateFailure(CURLcode code) {
    return code == CURLE_PEER_FAILED_VERIFICATION || code == CURLE_SSL_CACERT_BADFILE ||
           code == CURLE_SSL_ISSUER_ERROR || code == CURLE_SSL_PINNEDPUBKEYNOTMATCH ||
           code == CURLE_SSL_INVALIDCERTSTATUS;
}

size_t AppendBody(char* data, size_t size, size_t count, void* user) {
    auto& body = *static_cast<std::vector<std::uint8_t>*>(user);
    const size_t length = size * count;
    if (body.size() + length > kMaxHttpsBody) {
        return 0;  // no DNS message is longer: the transfer fails
    }
    body.insert(body.end(), data, data + length);
    return length;
}

// One post handed to the thread, and then the transfer that carries it.
struct Transfer {
    std::shared_ptr<CHttpsPost> Post{};
    std::string Accept{};
    std::string Url{};
    std::chrono::milliseconds Timeout{};
    // When the poster handed it over: its wait ends at this plus the time-out.
    std::chrono::steady_clock::time_point HandedAt{};
    std::vector<CSocketAddress> Addresses{};
    CURL* Easy = nullptr;
    curl_slist* Resolve = nullptr;
    std::vector<std::uint8_t> Response{};
    // The client's record of the sockets libcurl opened, for a connection opened for this one.
    std::set<curl_socket_t>* Sockets = nullptr;
    // The client's running transfers, which a connection opened for this one may carry.
    std::list<Transfer>* Running = nullptr;
    // Where it stands in the running list: the finished handle leads back to it.
    std::list<Transfer>::iterator Self{};
};

// Easy handles kept for the next posts while none run: making one afresh per post costs more than
// the post's own work. Under load as many are kept as ran at once since the client was last idle
// (kIdleSpell), so that a round's finished transfers give their handles to the next round's.
constexpr std::size_t kSpareEasyHandles = 64;
// A wait of the thread's with nothing running that lasts this long is the end of a load.
constexpr std::chrono::milliseconds kIdleSpell{1000};

// Connections to a server that speaks HTTP/1.1 only, each carrying one post at a time.
constexpr long kHttp1Connections = 8;

// How long data sent on a connection may go unacknowledged before the kernel drops it: about twice
// the proxy's usual wait for a reply. A connection that died silently (a NAT mapping lost, a
// network left) would otherwise carry every later post until TCP gives up, some 15 minutes.
constexpr unsigned kUnacknowledgedLimitMs = 6000;
// A post cancelled this close to the end of its wait has waited it out: its poster's deadline and
// libcurl's time-out end it at about the same moment.
constexpr std::chrono::milliseconds kEndOfWaitSlack{50};
// A shorter wait unanswered says nothing of the connection: a post whose poster had little time
// left (finding the host took most of it).
constexpr std::chrono::milliseconds kShortestSilence{1000};

// The connection on `socket` has received nothing for at least `silence`.
bool SilentFor(curl_socket_t socket, std::chrono::milliseconds silence) {
    tcp_info info{};
    socklen_t size = sizeof info;
    return getsockopt(socket, IPPROTO_TCP, TCP_INFO, &info, &size) == 0 &&
           info.tcpi_state == TCP_ESTABLISHED && info.tcpi_last_data_recv >= silence.count();
}

}  // namespace

struct CHttpsClient::Driver {
    explicit Driver(const HttpsTarget& target);
    ~Driver();
    void Add(Transfer transfer);
    void Run();
    // Whether the thread may wait in the poll: nothing was handed over since it last looked.
    bool MayWait();
    // Adds what was handed over and drops what was cancelled; under the lock.
    std::size_t TakeNew();
    void Start(Transfer& transfer);
    CURL* NewEasy();
    // Finishes the transfers that libcurl reports done.
    void FinishDone();
    void Finish(std::list<Transfer>::iterator transfer, CURLcode code);
    // After a post that waited out its time-out unanswered: the server's connections that have
    // received nothing all that time are given up, so that the next posts open a new one.
    void DropSilentConnections(const Transfer& transfer);
    // Keeps one connection to a server that answered over HTTP/2, a few to one over HTTP/1.1.
    void FollowProtocol(CURL* easy);
    void Release(Transfer& transfer);
    // Cleans up the spare handles a load left beyond kSpareEasyHandles.
    void TrimSpares();
    // The request's headers asking for `accept`, made once.
    curl_slist* Headers(const std::string& accept);
    // Holds back, or lets go, the TLS records written to every open connection.
    void Cork(bool on) const;
    // libcurl's calls when it opens a socket for a transfer, when a transfer is about to be sent
    // over its connection, and when it would close a socket.
    static int Opened(void* transfer, curl_socket_t socket, curlsocktype purpose);
    static int Sending(void* transfer, char* remote, char* local, int remotePort, int localPort);
    static int Closing(void* driver, curl_socket_t socket);

    const HttpsTarget& Target;
    // "https://host:port", before the path and its query.
    const std::string Origin;
    CURLM* Multi = nullptr;
    CWSocket Ringer;
    std::mutex Lock;
    std::deque<Transfer> Handed;
    bool Stopping = false;
    // A post was cancelled since the running ones were last looked at.
    std::atomic<bool> CancelSeen = false;
    // The thread waits, or is about to, for a post handed over.
    std::atomic<bool> Waiting = false;
    const std::shared_ptr<CHttpsWaker> Waker =
        std::make_shared<CHttpsWaker>([this] { curl_multi_wakeup(Multi); });
    // The thread's own.
    std::list<Transfer> Running;
    // The transfers FinishDone found done, kept for the next round's.
    std::vector<std::pair<std::list<Transfer>::iterator, CURLcode>> Done;
    std::vector<CURL*> SpareEasy;
    // The most transfers that ran at once since the client was last idle.
    std::size_t MostRunning = 0;
    // Connections kept to the server: one while it speaks HTTP/2, whose streams carry every
    // post at once (a burst of posts would otherwise open more, and wait for their handshakes
    // far longer than for a stream of the open one), a few while it speaks HTTP/1.1. More posts
    // wait for a stream or a connection.
    long Connections = 1;
    // The resolve entry last given to libcurl ("host:port:addresses").
    std::string Resolved;
    // Per type asked for, kept while the client lives: transfers under way point at them.
    std::map<std::string, curl_slist*> HeaderLists;
    // The sockets libcurl opened for the client and has not closed.
    std::set<curl_socket_t> Sockets;
    std::thread Thread;
};

CHttpsClient::Driver::Driver(const HttpsTarget& target)
    : Target(target),
      Origin("https://" + HostInUrl(target.Host) + ":" + std::to_string(target.Port)) {
    std::call_once(g_curlInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    Multi = curl_multi_init();
    curl_multi_setopt(Multi, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
    curl_multi_setopt(Multi, CURLMOPT_MAX_HOST_CONNECTIONS, Connections);
    Ringer.Create(true, AddressFamily::kIpv4);
    Thread = std::thread(&Driver::Run, this);
}

CHttpsClient::Driver::~Driver() {
    {
        const std::lock_guard guard(Lock);
        Stopping = true;
    }
    curl_multi_wakeup(Multi);
    Thread.join();
    Waker->Disarm();
    for (CURL* easy : SpareEasy) {
        curl_easy_cleanup(easy);
    }
    for (auto& [type, headers] : HeaderLists) {
        curl_slist_free_all(headers);
    }
    curl_multi_cleanup(Multi);
}

void CHttpsClient::Driver::Add(Transfer transfer) {
    {
        const std::lock_guard guard(Lock);
        Handed.push_back(std::move(transfer));
    }
    // A thread that is not waiting takes it at its next turn: only the first post handed over
    // while it waits wakes it.
    if (Waiting.exchange(false) && !CHttpsWakeBatch::Defer(Waker)) {
        Waker->Wake();
    }
}

void CHttpsClient::Driver::Run() {
    for (;;) {
        std::size_t started = 0;
        {
            const std::lock_guard guard(Lock);
            if (Stopping) {
                break;
            }
            started = TakeNew();
        }
        // Posts started together go out in as few TCP segments as they fill, not one each:
        // libcurl writes each request in a TLS record and a send of its own, and each segment
        // costs the kernel a delivery, on this thread, to the server.
        const bool corked = started > 1;
        if (corked) {
            Cork(true);
        }
        int active = 0;
        curl_multi_perform(Multi, &active);
        if (corked) {
            Cork(false);
        }
        FinishDone();
        if (MayWait()) {
            // A post handed over or cancelled wakes the wait.
            const auto waited = std::chrono::steady_clock::now();
            curl_multi_poll(Multi, nullptr, 0, static_cast<int>(kIdleSpell.count()), nullptr);
            Waiting = false;
            if (Running.empty() && std::chrono::steady_clock::now() - waited >= kIdleSpell) {
                TrimSpares();
            }
        }
    }
    for (auto transfer = Running.begin(); transfer != Running.end();) {
        transfer->Post->Finish({.Failure = "stopped"}, Ringer);
        Release(*transfer);
        transfer = Running.erase(transfer);
    }
    const std::lock_guard guard(Lock);
    for (Transfer& transfer : Handed) {
        transfer.Post->Finish({.Failure = "stopped"}, Ringer);
    }
    Handed.clear();
}

bool CHttpsClient::Driver::MayWait() {
    // Set before the look at what was handed over, so that a post handed over after the look
    // finds it set and wakes the wait.
    Waiting = true;
    const std::lock_guard guard(Lock);
    if (Handed.empty() && !Stopping) {
        return true;
    }
    Waiting = false;
    return false;
}

std::size_t CHttpsClient::Driver::TakeNew() {
    const std::size_t started = Handed.size();
    while (!Handed.empty()) {
        Running.push_back(std::move(Handed.front()));
        Handed.pop_front();
        Running.back().Self = std::prev(Running.end());
        Start(Running.back());
    }
    MostRunning = std::max(MostRunning, Running.size());
    if (!CancelSeen.exchange(false)) {
        return started;
    }
    for (auto transfer = Running.begin(); transfer != Running.end();) {
        if (transfer->Post->Cancelled()) {
            if (transfer->Resolve != nullptr) {
                Resolved.clear();  // perhaps never given to libcurl: the next transfer gives it
            }
            // The poster gives up at the end of its wait, usually before libcurl's time-out.
            if (std::chrono::steady_clock::now() + kEndOfWaitSlack >=
                transfer->HandedAt + transfer->Timeout) {
                DropSilentConnections(*transfer);
            }
            Release(*transfer);
            transfer = Running.erase(transfer);
        } else {
            ++transfer;
        }
    }
    return started;
}

void CHttpsClient::Driver::Start(Transfer& transfer) {
    CURL* easy = nullptr;
    if (SpareEasy.empty()) {
        easy = NewEasy();
    } else {
        easy = SpareEasy.back();
        SpareEasy.pop_back();
    }
    transfer.Easy = easy;
    transfer.Sockets = &Sockets;
    transfer.Running = &Running;
    curl_easy_setopt(easy, CURLOPT_PRIVATE, &transfer);
    // A transfer leaves libcurl's queue when it opens a connection of its own, or when one it
    // waited for (a stream of HTTP/2, a free connection of HTTP/1.1) takes it.
    curl_easy_setopt(easy, CURLOPT_SOCKOPTDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_PREREQDATA, &transfer);
    if (!transfer.Addresses.empty()) {
        std::string entry = Target.Host + ":" + std::to_string(Target.Port) + ":";
        for (std::size_t i = 0; i < transfer.Addresses.size(); ++i) {
            entry += (i == 0 ? "" : ",") + HostText(transfer.Addresses[i]);
        }
        // Kept in the multi handle's cache of names, which every transfer shares, until other
        // addresses replace them: given again with every transfer, they would be parsed anew.
        if (entry != Resolved) {
            transfer.Resolve = curl_slist_append(nullptr, entry.c_str());
            Resolved = std::move(entry);
        }
    }
    curl_easy_setopt(easy, CURLOPT_RESOLVE, transfer.Resolve);
    curl_easy_setopt(easy, CURLOPT_URL, transfer.Url.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, Headers(transfer.Accept));
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(transfer.Timeout.count()));
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer.Response);
    curl_multi_add_handle(Multi, easy);
}

CURL* CHttpsClient::Driver::NewEasy() {
    // What every post of the client shares, set once for the handle's life.
    CURL* easy = curl_easy_init();
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_2TLS);
    curl_easy_setopt(easy, CURLOPT_PIPEWAIT, 1L);
    // The CA bundle alone: given the certificates' folder as well (Debian's libcurl has both
    // built in), libcurl parses the whole bundle again for every connection it opens, some 140
    // certificates, where from the bundle alone it keeps the store it made. Made again hourly, so
    // that a root the system adds or drops is followed within the hour, not libcurl's day.
    curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr);
    curl_easy_setopt(easy, CURLOPT_CA_CACHE_TIMEOUT, 3600L);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, AppendBody);
    curl_easy_setopt(easy, CURLOPT_SOCKOPTFUNCTION, Opened);
    curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, Sending);
    curl_easy_setopt(easy, CURLOPT_CLOSESOCKETFUNCTION, Closing);
    curl_easy_setopt(easy, CURLOPT_CLOSESOCKETDATA, this);
    return easy;
}

void CHttpsClient::Driver::FinishDone() {
    // Every message is read before any transfer is released: libcurl looks for a removed
    // handle's message among those still unread, which would make a busy round's releases
    // quadratic in the transfers it finished.
    Done.clear();
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(Multi, &left)) {
        Transfer* done = nullptr;
        if (message->msg == CURLMSG_DONE &&
            curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &done) == CURLE_OK &&
            done != nullptr) {
            Done.emplace_back(done->Self, message->data.result);
        }
    }
    for (const auto& [transfer, code] : Done) {
        Finish(transfer, code);
    }
}

void CHttpsClient::Driver::Finish(std::list<Transfer>::iterator transfer, CURLcode code) {
    HttpsOutcome outcome;
    if (code == CURLE_OK) {
        long status = 0;
        char* type = nullptr;
        curl_easy_getinfo(transfer->Easy, CURLINFO_RESPONSE_CODE, &status);
        curl_easy_getinfo(transfer->Easy, CURLINFO_CONTENT_TYPE, &type);
        FollowProtocol(transfer->Easy);
        outcome.Responded = true;
        outcome.Status = static_cast<int>(status);
        outcome.ContentType = type != nullptr ? type : "";
        outcome.Body = std::move(transfer->Response);
    } else if (IsCertificateFailure(code)) {
        outcome.CertificateRejected = true;
        outcome.Failure = "certificate of " + Target.Host + " not trusted";
    } else {
        outcome.Failure = curl_easy_strerror(code);
        if (code == CURLE_OPERATION_TIMEDOUT) {
            DropSilentConnections(*transfer);
        }
    }
    transfer->Post->Finish(std::move(outcome), Ringer);
    Release(*transfer);
    Running.erase(transfer);
}

void CHttpsClient::Driver::DropSilentConnections(const Transfer& transfer) {
    // libcurl resets only the post's stream and keeps the connection for the next posts: over
    // HTTP/2, every one of them. One closed for reading reads as closed by the server, which
    // libcurl finds at its next look (and fails the posts it still carries, silent as well).
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - transfer.HandedAt);
    if (waited < kShortestSilence) {
        return;
    }
    for (const curl_socket_t socket : Sockets) {
        if (SilentFor(socket, waited - kEndOfWaitSlack)) {
            shutdown(socket, SHUT_RD);
        }
    }
}

void CHttpsClient::Driver::FollowProtocol(CURL* easy) {
    long version = 0;
    curl_easy_getinfo(easy, CURLINFO_HTTP_VERSION, &version);
    const long wanted = version == CURL_HTTP_VERSION_1_0 || version == CURL_HTTP_VERSION_1_1
                            ? kHttp1Connections
                            : 1;
    if (wanted != Connections) {
        Connections = wanted;
        curl_multi_setopt(Multi, CURLMOPT_MAX_HOST_CONNECTIONS, Connections);
    }
}

void CHttpsClient::Driver::Release(Transfer& transfer) {
    curl_multi_remove_handle(Multi, transfer.Easy);
    if (SpareEasy.size() < std::max(kSpareEasyHandles, MostRunning)) {
        SpareEasy.push_back(transfer.Easy);
    } else {
        curl_easy_cleanup(transfer.Easy);
    }
    curl_slist_free_all(transfer.Resolve);
}

void CHttpsClient::Driver::TrimSpares() {
    MostRunning = 0;
    while (SpareEasy.size() > kSpareEasyHandles) {
        curl_easy_cleanup(SpareEasy.back());
        SpareEasy.pop_back();
    }
}

void CHttpsClient::Driver::Cork(bool on) const {
    const int value = on ? 1 : 0;
    for (const curl_socket_t socket : Sockets) {
        setsockopt(socket, IPPROTO_TCP, TCP_CORK, &value, sizeof value);
    }
}

int CHttpsClient::Driver::Opened(void* transfer, curl_socket_t socket, curlsocktype /*purpose*/) {
    auto& opener = *static_cast<Transfer*>(transfer);
    opener.Sockets->insert(socket);
    setsockopt(socket, IPPROTO_TCP, TCP_USER_TIMEOUT, &kUnacknowledgedLimitMs,
               sizeof kUnacknowledgedLimitMs);
    opener.Post->MarkStarted();
    // The transfers still waiting in libcurl wait for this connection, or for one like it.
    for (const Transfer& running : *opener.Running) {
        if (&running == &opener || !running.Post->StartedAt()) {
            running.Post->MarkConnecting();
        }
    }
    return CURL_SOCKOPT_OK;
}

int CHttpsClient::Driver::Sending(void* transfer, char* /*remote*/, char* /*local*/,
                                  int /*remotePort*/, int /*localPort*/) {
    static_cast<Transfer*>(transfer)->Post->MarkStarted();
    return CURL_PREREQFUNC_OK;
}

int CHttpsClient::Driver::Closing(void* driver, curl_socket_t socket) {
    static_cast<Driver*>(driver)->Sockets.erase(socket);
    return close(socket);
}

curl_slist* CHttpsClient::Driver::Headers(const std::string& accept) {
    curl_slist*& headers = HeaderLists[accept];
    if (headers == nullptr) {
        headers = curl_slist_append(nullptr, ("Accept: " + accept).c_str());
    }
    return headers;
}

CHttpsClient::CHttpsClient(HttpsTarget target)
    : m_target(std::move(target)), m_driver(std::make_unique<Driver>(m_target)) {}

CHttpsClient::~CHttpsClient() = default;

std::shared_ptr<CHttpsPost> CHttpsClient::Post(std::string_view accept,
                                               std::span<const std::uint8_t> query,
                                               std::chrono::milliseconds timeout,
                                               std::vector<CSocketAddress> addresses,
                                               HttpsFinisher finisher) {
    auto post = std::make_shared<CHttpsPost>(m_doorbells, std::move(finisher));
    // The driver outlives its posts' cancels: a post is cancelled by the exchange that holds the
    // server, which holds this client.
    post->OnCancel([driver = m_driver.get()] {
        driver->CancelSeen = true;
        curl_multi_wakeup(driver->Multi);
    });
    m_driver->Add({.Post = post,
                   .Accept = std::string(accept),
                   .Url = m_driver->Origin + DnsQueryPath(m_target.Path, query),
                   .Timeout = timeout,
                   .HandedAt = std::chrono::steady_clock::now(),
                   .Addresses = std::move(addresses)});
    return post;
}
