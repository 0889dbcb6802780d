#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "net/socket_address.h"
#include "net/socket_errors.h"

// One socket handle, IPv4 or IPv6, with every failure thrown as a CWSocketException that carries
// a Windows Sockets error number (net/socket_errors.h). Winsock on Windows, BSD sockets elsewhere;
// callers see the same numbers, option numbers and behaviour on both. Windows Sockets itself is
// started by the application, never by the wrapper.

#ifdef _WIN32
using SocketHandle = std::uintptr_t;  // SOCKET
inline constexpr SocketHandle kInvalidSocket = ~SocketHandle{0};
#else
using SocketHandle = int;
inline constexpr SocketHandle kInvalidSocket = -1;
#endif

// Socket option numbers and levels as Windows numbers them. Elsewhere the wrapper translates
// these options; any other option or level throws socket_error::kNoProtocolOption there.
namespace socket_option {
inline constexpr int kLevelSocket = 0xFFFF;     // SOL_SOCKET
inline constexpr int kBroadcast = 0x0020;       // SO_BROADCAST, 4-byte boolean
inline constexpr int kSendBuffer = 0x1001;      // SO_SNDBUF, 4-byte size in bytes
inline constexpr int kReceiveBuffer = 0x1002;   // SO_RCVBUF, 4-byte size in bytes
inline constexpr int kSendTimeout = 0x1005;     // SO_SNDTIMEO, 4-byte milliseconds, 0 = none
inline constexpr int kReceiveTimeout = 0x1006;  // SO_RCVTIMEO, 4-byte milliseconds, 0 = none
}  // namespace socket_option

// Send and receive flags as Windows numbers them. Elsewhere the wrapper translates these; any other
// bit throws socket_error::kInvalidArgument there.
namespace socket_flag {
inline constexpr int kOutOfBand = 0x1;  // MSG_OOB
inline constexpr int kPeek = 0x2;       // MSG_PEEK
inline constexpr int kDontRoute = 0x4;  // MSG_DONTROUTE
inline constexpr int kWaitAll = 0x8;    // MSG_WAITALL
}  // namespace socket_flag

enum class SocketShutdown : int { kReceive = 0, kSend = 1, kBoth = 2 };

// The largest backlog of connections waiting to be accepted (SOMAXCONN as Winsock numbers it);
// each system cuts it to its own limit.
inline constexpr int kMaxListenBacklog = 0x7FFFFFFF;

class CWSocketException : public std::exception {
public:
    explicit CWSocketException(int error) noexcept : m_error(error) {}

    // The Windows Sockets error number.
    [[nodiscard]] int GetError() const noexcept { return m_error; }
    const char* what() const noexcept override { return "CWSocketException"; }

    // Copies the system's text for the error into `buffer`, cut to fit and always terminated.
    // False, with the empty text, when the system has none (or there is no room at all).
    // `help_context`, when given, is set to 0.
    bool GetErrorMessage(char* buffer, std::size_t capacity,
                         unsigned* help_context = nullptr) const;
    // The same text as a string; empty when the system has none.
    [[nodiscard]] std::string GetErrorMessage() const;

private:
    // The system's text for an error number, empty when there is none (platform part).
    static std::string SystemMessage(int error);

    int m_error;
};

// Throws a CWSocketException with `error`; with 0, with the calling thread's last socket error.
// A failure never travels as 0: when there is no last error either, the number is
// socket_error::kSystemCallFailure.
[[noreturn]] void ThrowWSocketException(int error = 0);

// The calling thread's last socket error as a Windows Sockets number (WSAGetLastError, or the
// translated errno).
[[nodiscard]] int LastSocketError() noexcept;

// One datagram of a batch: the bytes in the first Length bytes of Buffer, and the peer it came
// from or goes to. Local is the machine's address that it came to, on a socket that receives
// local addresses (else empty), and the address that it leaves from when not empty, so that a
// reply to a client that asked one of several addresses comes from the address it asked.
struct Datagram {
    std::span<std::uint8_t> Buffer;
    std::size_t Length = 0;
    CSocketAddress Peer;
    CSocketAddress Local;
};

// Owns one socket handle: destroying it, closing it or attaching another handle closes the held
// one, unless it was detached first. Operations on a wrapper without a handle throw
// socket_error::kNotSocket.
//
// Threads: while one thread is inside an operation (typically a receive blocked on a socket
// without time-out), another may call Shutdown or Close; nothing else may run concurrently.
// Close releases the blocked call, which throws. On Linux it shuts the socket down to do so and
// closes the descriptor only after every call has left it, so that no call can reach the number
// once the system hands it out again; Winsock releases the call on closing. Shutdown alone
// releases a blocked receive on Linux (socket_error::kShutDown) but not on Windows.
class CWSocket {
public:
    CWSocket() noexcept = default;
    CWSocket(const CWSocket&) = delete;
    CWSocket& operator=(const CWSocket&) = delete;
    CWSocket(CWSocket&& other) noexcept;
    CWSocket& operator=(CWSocket&& other) noexcept;
    virtual ~CWSocket();

    // Opens a socket of `family`: datagram (UDP) when `udp`, else stream (TCP). An IPv6 socket
    // is always IPv6 only (IPV6_V6ONLY), on every system, so that an IPv6 listener never takes
    // IPv4 traffic. A system without IPv6 throws socket_error::kAddressFamilyNotSupported. A
    // handle held already is closed first.
    void Create(bool udp = true, AddressFamily family = AddressFamily::kIpv4);

    // Binds an IPv4 socket to `port` on `address`: none means every local address; a dotted quad
    // or a host name (first IPv4 address). An address that is neither throws
    // socket_error::kInvalidArgument.
    void Bind(std::uint16_t port, std::optional<std::string_view> address = std::nullopt);
    // Binds to `address`, of the socket's family. An empty address throws
    // socket_error::kBadAddress, here as in every call below that takes a CSocketAddress.
    void Bind(const CSocketAddress& address);

    // setsockopt with the Windows option number and level (socket_option).
    void SetSockOpt(int option, const void* value, int length,
                    int level = socket_option::kLevelSocket);
    // The receive time-out in milliseconds; a receive that runs into it throws
    // socket_error::kTimedOut. 0 waits for ever.
    void SetReceiveTimeout(std::uint32_t milliseconds);
    // Keeps an ICMP port-unreachable report caused by an earlier send from failing the next
    // receive of a datagram socket. Does nothing where datagram sockets never report them.
    void DisableConnectionResetReports();
    // Makes an IPv4 datagram socket tell each received datagram's local address (IP_PKTINFO) in
    // ReceiveBatch, or stop telling it. Off when the socket is created: a socket bound to one
    // address needs none, and the system then spends nothing on it.
    void ReceiveLocalAddresses(bool on);
    // Lets a stream socket bind a port on which connections of an earlier listener still wait
    // out their close (TIME_WAIT), so that a listener can be stopped and started again at once;
    // call it before Bind. Sets SO_REUSEADDR on BSD sockets. Does nothing on Windows, which
    // allows that bind anyway and whose SO_REUSEADDR would let a second socket take the port.
    void AllowListenerRebind();

    // Makes a bound stream socket listen, with up to `backlog` connections waiting to be taken.
    void Listen(int backlog = kMaxListenBacklog);
    // Takes the next connection from a listening socket, waiting for one; gives the connected
    // socket (blocking, no time-outs) and sets the peer's address text (AddressText: a dotted
    // quad on an IPv4 socket) and port. Close from another thread releases the wait, which then
    // throws.
    CWSocket Accept(std::string& address, std::uint16_t& port);
    // The same, giving the peer as a binary address.
    CWSocket Accept(CSocketAddress& peer);
    // Connects a stream socket to `address` (a dotted quad or a host name) and `port`. Waits at
    // most `milliseconds` (0: as long as the system does) and then throws
    // socket_error::kTimedOut; a refused connection throws socket_error::kConnectionRefused.
    // The socket stays blocking. Close from another thread releases the wait.
    void Connect(std::uint16_t port, std::string_view address, std::uint32_t milliseconds = 0);
    // The same to a binary address of the socket's family.
    void Connect(const CSocketAddress& address, std::uint32_t milliseconds = 0);
    // Sends all `length` bytes on a connected socket, in as many system calls as that takes,
    // and returns `length`. A send that runs into the send time-out (SO_SNDTIMEO) throws
    // socket_error::kTimedOut; some bytes may have gone out by then. No signal is raised for a
    // peer that has gone: that is an error like any other.
    std::size_t Send(const void* data, std::size_t length, int flags = 0);

    // Sends one datagram to `address` (as in Bind; none means the broadcast address
    // 255.255.255.255) and `port`; returns the number of bytes sent. An unresolvable name throws
    // the lookup's error (socket_error::kHostNotFound for an unknown name).
    std::size_t SendTo(const void* data, std::size_t length, std::uint16_t port,
                       std::optional<std::string_view> address = std::nullopt, int flags = 0);
    // Sends one datagram to `to`, of the socket's family.
    std::size_t SendTo(const void* data, std::size_t length, const CSocketAddress& to,
                       int flags = 0);

    // Receives one datagram into `buffer`; returns its length and sets the sender's address text
    // (as Accept) and port. A datagram longer than `capacity` throws socket_error::kMessageSize; it
    // is consumed, and the next one arrives whole. A receive on a socket that was shut down for
    // receiving throws socket_error::kShutDown.
    std::size_t ReceiveFrom(void* buffer, std::size_t capacity, std::string& address,
                            std::uint16_t& port, int flags = 0);
    // The same, giving the sender as a binary address (no text is made).
    std::size_t ReceiveFrom(void* buffer, std::size_t capacity, CSocketAddress& from,
                            int flags = 0);
    // The same without the sender. On a stream socket it returns what has arrived, up to
    // `capacity`, and 0 once the peer has closed its side.
    std::size_t Receive(void* buffer, std::size_t capacity, int flags = 0);

    // The most datagrams one batch call takes.
    static constexpr std::size_t kMaxBatch = 64;
    // Receives up to `datagrams.size()` datagrams (at most kMaxBatch) on a datagram socket,
    // waiting for the first only; returns how many arrived, each with its Length and Peer (and
    // Local, while the socket receives local addresses; otherwise Local is left as it was), at
    // the front of `datagrams` (the entries' buffers may change places for that). A datagram
    // longer than its buffer is dropped and the others are returned; it throws
    // socket_error::kMessageSize, as ReceiveFrom does, only when no other came with it. One
    // system call on Linux (recvmmsg); one ReceiveFrom elsewhere.
    std::size_t ReceiveBatch(std::span<Datagram> datagrams);
    // Sends the first Length bytes of each datagram to its Peer, from its Local address when that
    // is not empty (an IPv4 socket only); returns how many were sent. A
    // datagram that cannot go (the system refuses it, its Peer is empty or its Length exceeds
    // its buffer) is left out, so that it does not hold back the rest; when not one could be
    // sent, the first failure is thrown. sendmmsg on Linux; one SendTo each elsewhere.
    std::size_t SendBatch(std::span<const Datagram> datagrams);

    // The most sockets one WaitReadable watches.
    static constexpr std::size_t kMaxWaited = 8;
    // Waits until one of `sockets` (at most kMaxWaited) has something for a receive: data, the
    // peer's close or an error. Gives the index of the first such socket, or none when
    // `milliseconds` passed first. A socket without a handle, or closed by another thread during
    // the wait (on Linux the close's shutdown wakes the wait; Winsock wakes it on closing), counts
    // as ready, so that its next receive throws.
    static std::optional<std::size_t> WaitReadable(std::span<CWSocket* const> sockets,
                                                   std::uint32_t milliseconds);

    // Shuts down one or both directions. On a datagram socket this succeeds without a peer.
    void Shutdown(SocketShutdown how);
    // Closes the handle if there is one. Never throws.
    void Close() noexcept;

    // The local port in host order: the one bound, or the one the system chose on binding to
    // port 0 or on the first send; 0 before either.
    [[nodiscard]] std::uint16_t GetLocalPort() const;
    // The address the socket is bound to (after Bind or the first send); empty before either.
    [[nodiscard]] CSocketAddress GetLocalAddress() const;

    [[nodiscard]] bool IsCreated() const noexcept { return GetHandle() != kInvalidSocket; }
    [[nodiscard]] SocketHandle GetHandle() const noexcept { return m_handle.load(); }

    // Takes `handle` after closing the one held, unless it is that same handle.
    void Attach(SocketHandle handle) noexcept;
    // Gives up the handle without closing it.
    SocketHandle Detach() noexcept;

private:
    // The held handle for the length of one system call, counted as in use; throws
    // socket_error::kNotSocket when there is none.
    class HandleUse {
    public:
        explicit HandleUse(const CWSocket& socket);
        HandleUse(const HandleUse&) = delete;
        HandleUse& operator=(const HandleUse&) = delete;
        ~HandleUse();
        [[nodiscard]] SocketHandle Get() const noexcept { return m_handle; }

    private:
        const CWSocket& m_socket;
        SocketHandle m_handle;
    };

    // The IPv4 address with `port` for `address` as the text forms read it: `none` (network
    // order) when the text is absent; `failure` is thrown when a text cannot be resolved (0: the
    // lookup's error).
    static CSocketAddress ResolveAddress(std::optional<std::string_view> address,
                                         std::uint16_t port, std::uint32_t none, int failure);
    // Throws socket_error::kBadAddress for an empty address.
    static void RequireAddress(const CSocketAddress& address);
    // Throws socket_error::kMessageSize for a datagram longer than Winsock can take.
    static void RequireDatagramLength(std::size_t length);
    // Why `datagram` cannot be sent as it is (a Windows Sockets number), or 0 when it can.
    static int DatagramFault(const Datagram& datagram) noexcept;

    // Platform part of WaitReadable: the index of the first ready handle, -1 when the time passed.
    static int PollReadable(std::span<const SocketHandle> handles, std::uint32_t milliseconds);

    // Waits until no call uses the socket any more.
    void WaitUntilUnused() const noexcept;

    // Platform parts.
    // Closes a handle that has left m_handle, after releasing the calls blocked on it.
    void ReleaseHandle(SocketHandle handle) const noexcept;
    // 0 and the address (network order) for a dotted quad or a host name, else the error.
    static int LookUpAddress(const std::string& text, std::uint32_t& address);

    std::atomic<SocketHandle> m_handle{kInvalidSocket};
    // Calls under way (HandleUse).
    mutable std::atomic<int> m_users{0};
    // ReceiveLocalAddresses is on; read and written by the receiving thread alone.
    bool m_receivesLocal = false;
};
