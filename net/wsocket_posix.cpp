// BSD sockets behind CWSocket, made to behave as Winsock does: errno becomes the Windows Sockets
// number, the Windows option and flag numbers are translated, and a receive reports what Winsock
// reports (time-out, oversized datagram, shut-down socket).

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstring>

#include "net/address_text.h"
#include "net/sockaddr_layout.h"
#include "net/wsocket.h"

#include "net/sockaddr_layout_check.h"

namespace {

struct ErrnoMatch {
    int error;  // Windows Sockets number
    int code;   // errno
};

// Pairs of the same meaning. Translating errno takes the first pair of its code (after the
// aliases in FromErrno); finding a message takes the first pair of the number.
constexpr ErrnoMatch kErrnoMatches[] = {
    {socket_error::kNotEnoughMemory, ENOMEM},
    {socket_error::kInterrupted, EINTR},
    {socket_error::kBadHandle, EBADF},
    {socket_error::kAccessDenied, EACCES},
    {socket_error::kBadAddress, EFAULT},
    {socket_error::kInvalidArgument, EINVAL},
    {socket_error::kTooManySockets, EMFILE},
    {socket_error::kWouldBlock, EWOULDBLOCK},
    {socket_error::kInProgress, EINPROGRESS},
    {socket_error::kAlready, EALREADY},
    {socket_error::kNotSocket, ENOTSOCK},
    {socket_error::kDestinationRequired, EDESTADDRREQ},
    {socket_error::kMessageSize, EMSGSIZE},
    {socket_error::kWrongProtocolType, EPROTOTYPE},
    {socket_error::kNoProtocolOption, ENOPROTOOPT},
    {socket_error::kProtocolNotSupported, EPROTONOSUPPORT},
    {socket_error::kSocketTypeNotSupported, ESOCKTNOSUPPORT},
    {socket_error::kOperationNotSupported, EOPNOTSUPP},
    {socket_error::kFamilyNotSupported, EPFNOSUPPORT},
    {socket_error::kAddressFamilyNotSupported, EAFNOSUPPORT},
    {socket_error::kAddressInUse, EADDRINUSE},
    {socket_error::kAddressNotAvailable, EADDRNOTAVAIL},
    {socket_error::kNetworkDown, ENETDOWN},
    {socket_error::kNetworkUnreachable, ENETUNREACH},
    {socket_error::kNetworkReset, ENETRESET},
    {socket_error::kConnectionAborted, ECONNABORTED},
    {socket_error::kConnectionReset, ECONNRESET},
    {socket_error::kNoBufferSpace, ENOBUFS},
    {socket_error::kIsConnected, EISCONN},
    {socket_error::kNotConnected, ENOTCONN},
    {socket_error::kShutDown, ESHUTDOWN},
    {socket_error::kTooManyReferences, ETOOMANYREFS},
    {socket_error::kTimedOut, ETIMEDOUT},
    {socket_error::kConnectionRefused, ECONNREFUSED},
    {socket_error::kLoop, ELOOP},
    {socket_error::kNameTooLong, ENAMETOOLONG},
    {socket_error::kHostDown, EHOSTDOWN},
    {socket_error::kHostUnreachable, EHOSTUNREACH},
    {socket_error::kNotEmpty, ENOTEMPTY},
    {socket_error::kTooManyUsers, EUSERS},
    {socket_error::kDiskQuota, EDQUOT},
    {socket_error::kStale, ESTALE},
    {socket_error::kRemote, EREMOTE},
};

// The getaddrinfo codes that have a Windows Sockets number of their own.
struct LookUpMatch {
    int error;
    int code;
};

constexpr LookUpMatch kLookUpMatches[] = {
    {socket_error::kHostNotFound, EAI_NONAME},    {socket_error::kTryAgain, EAI_AGAIN},
    {socket_error::kNoRecovery, EAI_FAIL},
#ifdef EAI_NODATA
    {socket_error::kNoData, EAI_NODATA},
#endif
#ifdef EAI_ADDRFAMILY
    {socket_error::kNoData, EAI_ADDRFAMILY},
#endif
    {socket_error::kNotEnoughMemory, EAI_MEMORY},
};

// Winsock takes lengths as int; larger buffers are used up to this.
constexpr std::size_t kMaxTransfer = INT_MAX;

int FromErrno(int code) {
    if (code == 0) {
        return 0;
    }
    // Winsock calls a closed or never-opened handle "not a socket".
    if (code == EBADF) {
        return socket_error::kNotSocket;
    }
    if (code == EAGAIN || code == EWOULDBLOCK) {
        return socket_error::kWouldBlock;
    }
    // A send after the sending side was shut down.
    if (code == EPIPE) {
        return socket_error::kShutDown;
    }
    if (code == EPERM) {
        return socket_error::kAccessDenied;
    }
    if (code == ENFILE) {
        return socket_error::kTooManySockets;
    }
    if (code == ENOMEM) {
        return socket_error::kNoBufferSpace;
    }
    for (const ErrnoMatch& match : kErrnoMatches) {
        if (match.code == code) {
            return match.error;
        }
    }
    return socket_error::kSystemCallFailure;
}

// SOCK_DGRAM, SOCK_STREAM, or -1 for a handle that is no (longer a) socket.
int SocketType(int fd) {
    int type = 0;
    socklen_t length = sizeof type;
    return getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0 ? type : -1;
}

// A blocking socket reports its time-out as EAGAIN; Winsock calls that a time-out and keeps
// "would block" for non-blocking sockets.
int TransferError(int fd, int code) {
    if (code == EAGAIN || code == EWOULDBLOCK) {
        const int mode = fcntl(fd, F_GETFL);
        if (mode != -1 && (mode & O_NONBLOCK) == 0) {
            return socket_error::kTimedOut;
        }
    }
    return FromErrno(code);
}

[[noreturn]] void ThrowErrno(int code) {
    ThrowWSocketException(FromErrno(code));
}

int TranslateFlags(int flags) {
    constexpr int kKnown = socket_flag::kOutOfBand | socket_flag::kPeek | socket_flag::kDontRoute |
                           socket_flag::kWaitAll;
    if ((flags & ~kKnown) != 0) {
        ThrowWSocketException(socket_error::kInvalidArgument);
    }
    int translated = 0;
    translated |= (flags & socket_flag::kOutOfBand) != 0 ? MSG_OOB : 0;
    translated |= (flags & socket_flag::kPeek) != 0 ? MSG_PEEK : 0;
    translated |= (flags & socket_flag::kDontRoute) != 0 ? MSG_DONTROUTE : 0;
    translated |= (flags & socket_flag::kWaitAll) != 0 ? MSG_WAITALL : 0;
    return translated;
}

const sockaddr* SystemAddress(const CSocketAddress& address) {
    return static_cast<const sockaddr*>(address.Data());
}

socklen_t SystemLength(const CSocketAddress& address) {
    return static_cast<socklen_t>(address.Length());
}

// One recvmsg, with the outcomes that Winsock reports as failures turned into them.
std::size_t ReceiveOne(int fd, void* buffer, std::size_t capacity, int flags,
                       CSocketAddress& from) {
    iovec part{buffer, std::min(capacity, kMaxTransfer)};
    msghdr message{};
    message.msg_name = from.Storage();
    message.msg_namelen = CSocketAddress::kCapacity;
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    const ssize_t received = recvmsg(fd, &message, TranslateFlags(flags));
    if (received < 0) {
        ThrowWSocketException(TransferError(fd, errno));
    }
    // The rest of a datagram that did not fit is gone; the next receive gets the next one.
    if ((message.msg_flags & MSG_TRUNC) != 0) {
        ThrowWSocketException(socket_error::kMessageSize);
    }
    // Every datagram, even an empty one, comes with its sender. Without one, the receiving side
    // was shut down (as Close does to release a receive blocked in another thread); only a stream
    // socket also ends this way, at the end of its data.
    if (received == 0 && message.msg_namelen == 0 && SocketType(fd) != SOCK_STREAM) {
        ThrowWSocketException(socket_error::kShutDown);
    }
    from.SetLength(static_cast<int>(message.msg_namelen));
    return static_cast<std::size_t>(received);
}

// Room for the one control message that a datagram carries: its local address (IP_PKTINFO).
constexpr std::size_t kControlSize = CMSG_SPACE(sizeof(in_pktinfo));
struct alignas(cmsghdr) ControlBuffer {
    unsigned char Bytes[kControlSize];
};

// Up to kMaxBatch datagrams as recvmmsg and sendmmsg take them.
class MessageBatch {
public:
    // Adds a datagram of `length` bytes at `data` with `peer` (to fill for a receive).
    void Add(void* data, std::size_t length, const CSocketAddress& peer) {
        m_parts[m_count] = {data, length};
        PeerRoom& room = m_peers[m_count];
        std::memcpy(room.Bytes.data(), peer.Data(), static_cast<std::size_t>(peer.Length()));
        msghdr& header = m_messages[m_count].msg_hdr;
        header.msg_name = room.Bytes.data();
        header.msg_namelen =
            static_cast<socklen_t>(peer.IsEmpty() ? CSocketAddress::kCapacity : peer.Length());
        header.msg_iov = &m_parts[m_count];
        header.msg_iovlen = 1;
        header.msg_control = nullptr;
        header.msg_controllen = 0;
        header.msg_flags = 0;
        ++m_count;
    }
    // Gives every datagram room for its local address, to be filled by a receive.
    void ReceiveLocal() {
        for (std::size_t i = 0; i < m_count; ++i) {
            m_messages[i].msg_hdr.msg_control = m_control[i].Bytes;
            m_messages[i].msg_hdr.msg_controllen = kControlSize;
        }
    }
    // Makes the datagram added last leave from the IPv4 address `local`. The interface is left
    // to the routing: one given would put its primary address in the local one's place.
    void SendFrom(const CSocketAddress& local) {
        msghdr& header = m_messages[m_count - 1].msg_hdr;
        header.msg_control = m_control[m_count - 1].Bytes;
        header.msg_controllen = kControlSize;
        cmsghdr* control = CMSG_FIRSTHDR(&header);
        control->cmsg_level = IPPROTO_IP;
        control->cmsg_type = IP_PKTINFO;
        control->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
        std::memcpy(&info.ipi_spec_dst, local.AddressBytes().data(), sizeof info.ipi_spec_dst);
        std::memcpy(CMSG_DATA(control), &info, sizeof info);
    }
    [[nodiscard]] bool IsFull() const noexcept { return m_count == CWSocket::kMaxBatch; }
    [[nodiscard]] unsigned Count() const noexcept { return static_cast<unsigned>(m_count); }
    mmsghdr* Messages() noexcept { return m_messages.data(); }

    // After a receive: the length, the flags and the sender of datagram `index`.
    [[nodiscard]] std::size_t Length(std::size_t index) const { return m_messages[index].msg_len; }
    [[nodiscard]] int Flags(std::size_t index) const { return m_messages[index].msg_hdr.msg_flags; }
    CSocketAddress Sender(std::size_t index) const {
        const socklen_t length =
            std::min<socklen_t>(m_messages[index].msg_hdr.msg_namelen, CSocketAddress::kCapacity);
        CSocketAddress sender;
        std::memcpy(sender.Storage(), m_peers[index].Bytes.data(), length);
        sender.SetLength(static_cast<int>(length));
        return sender;
    }
    // After a receive with room for it: the address that datagram `index` came to, the one a
    // reply leaves from (for a broadcast, the receiving interface's); empty when none came.
    CSocketAddress Local(std::size_t index) {
        msghdr& header = m_messages[index].msg_hdr;
        for (cmsghdr* control = CMSG_FIRSTHDR(&header); control != nullptr;
             control = CMSG_NXTHDR(&header, control)) {
            if (control->cmsg_level == IPPROTO_IP && control->cmsg_type == IP_PKTINFO) {
                in_pktinfo info{};
                std::memcpy(&info, CMSG_DATA(control), sizeof info);
                std::array<std::uint8_t, sizeof info.ipi_spec_dst> bytes{};
                std::memcpy(bytes.data(), &info.ipi_spec_dst, bytes.size());
                return CSocketAddress::FromBytes(AddressFamily::kIpv4, bytes, 0);
            }
        }
        return {};
    }

private:
    // Not zeroed either: Add fills what a datagram uses, and a receive of one datagram need not
    // pay for clearing room for a whole batch.
    struct PeerRoom {
        alignas(8) std::array<std::uint8_t, CSocketAddress::kCapacity> Bytes;
    };
    std::array<iovec, CWSocket::kMaxBatch> m_parts;
    std::array<PeerRoom, CWSocket::kMaxBatch> m_peers;
    std::array<mmsghdr, CWSocket::kMaxBatch> m_messages;
    // Not zeroed: only a datagram with a local address uses its buffer, and most carry none.
    std::array<ControlBuffer, CWSocket::kMaxBatch> m_control;
    std::size_t m_count = 0;
};

// Waits until a non-blocking connect on `fd` has ended, for at most `milliseconds` (0: for
// ever); 0 when it connected, else the Windows Sockets number of its failure.
int WaitForConnection(int fd, std::uint32_t milliseconds) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        int wait = -1;
        if (milliseconds != 0) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) {
                return socket_error::kTimedOut;
            }
            wait = static_cast<int>(std::min<long long>(left, INT_MAX));
        }
        pollfd watched{fd, POLLOUT, 0};
        const int ready = poll(&watched, 1, wait);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0) {
            return FromErrno(errno);
        }
        if (ready == 0) {
            continue;  // The deadline is checked above.
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
            return FromErrno(errno);
        }
        return FromErrno(error);
    }
}

void SetOption(int fd, int name, const void* value, socklen_t length) {
    if (setsockopt(fd, SOL_SOCKET, name, value, length) != 0) {
        ThrowErrno(errno);
    }
}

// strerror_r as the C library declares it: GNU returns the text, XSI fills the buffer.
[[maybe_unused]] const char* ErrorText(const char* result, const char*) {
    return result;
}
[[maybe_unused]] const char* ErrorText(int result, const char* buffer) {
    return result == 0 ? buffer : "";
}

}  // namespace

int LastSocketError() noexcept {
    return FromErrno(errno);
}

std::string CWSocketException::SystemMessage(int error) {
    for (const LookUpMatch& match : kLookUpMatches) {
        if (match.error == error) {
            return gai_strerror(match.code);
        }
    }
    for (const ErrnoMatch& match : kErrnoMatches) {
        if (match.error == error) {
            char buffer[256] = {};
            return ErrorText(strerror_r(match.code, buffer, sizeof buffer), buffer);
        }
    }
    return {};
}

void CWSocket::Create(bool udp, AddressFamily family) {
    const bool ipv6 = family == AddressFamily::kIpv6;
    const int fd =
        socket(ipv6 ? AF_INET6 : AF_INET, (udp ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC, 0);
    if (fd == -1) {
        ThrowErrno(errno);
    }
    // Linux lets an IPv6 socket take IPv4 traffic too unless told otherwise (and the default is
    // the system's setting); Windows never does.
    const int on = 1;
    if (ipv6 && setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0) {
        const int code = errno;
        static_cast<void>(close(fd));
        ThrowErrno(code);
    }
    Attach(fd);
    m_receivesLocal = false;
}

void CWSocket::Bind(const CSocketAddress& address) {
    RequireAddress(address);
    const HandleUse use(*this);
    if (bind(use.Get(), SystemAddress(address), SystemLength(address)) != 0) {
        ThrowErrno(errno);
    }
}

void CWSocket::SetSockOpt(int option, const void* value, int length, int level) {
    const HandleUse use(*this);
    const int fd = use.Get();
    if (level != socket_option::kLevelSocket) {
        ThrowWSocketException(socket_error::kNoProtocolOption);
    }
    // Every option offered here takes a 4-byte value, as Winsock does.
    std::uint32_t number = 0;
    if (value == nullptr || length < static_cast<int>(sizeof number)) {
        ThrowWSocketException(socket_error::kBadAddress);
    }
    std::memcpy(&number, value, sizeof number);

    switch (option) {
        case socket_option::kReceiveTimeout:
        case socket_option::kSendTimeout: {
            // Milliseconds become a timeval; 0 waits for ever on both systems.
            timeval timeout{};
            timeout.tv_sec = static_cast<time_t>(number / 1000);
            timeout.tv_usec = static_cast<suseconds_t>(number % 1000 * 1000);
            SetOption(fd, option == socket_option::kReceiveTimeout ? SO_RCVTIMEO : SO_SNDTIMEO,
                      &timeout, sizeof timeout);
            return;
        }
        case socket_option::kBroadcast:
        case socket_option::kSendBuffer:
        case socket_option::kReceiveBuffer: {
            const int setting = static_cast<int>(number);
            const int name = option == socket_option::kBroadcast    ? SO_BROADCAST
                             : option == socket_option::kSendBuffer ? SO_SNDBUF
                                                                    : SO_RCVBUF;
            SetOption(fd, name, &setting, sizeof setting);
            return;
        }
        default:
            ThrowWSocketException(socket_error::kNoProtocolOption);
    }
}

void CWSocket::ReceiveLocalAddresses(bool on) {
    const HandleUse use(*this);
    const int value = on ? 1 : 0;
    if (setsockopt(use.Get(), IPPROTO_IP, IP_PKTINFO, &value, sizeof value) != 0) {
        ThrowErrno(errno);
    }
    m_receivesLocal = on;
}

// Linux delivers an ICMP error to a datagram socket only when it is connected, and these never
// are.
void CWSocket::DisableConnectionResetReports() {
    const HandleUse use(*this);
}

void CWSocket::AllowListenerRebind() {
    const HandleUse use(*this);
    const int on = 1;
    SetOption(use.Get(), SO_REUSEADDR, &on, sizeof on);
}

void CWSocket::Listen(int backlog) {
    const HandleUse use(*this);
    if (listen(use.Get(), std::min(backlog, SOMAXCONN)) != 0) {
        ThrowErrno(errno);
    }
}

CWSocket CWSocket::Accept(CSocketAddress& peer) {
    const HandleUse use(*this);
    CSocketAddress from;
    auto length = static_cast<socklen_t>(CSocketAddress::kCapacity);
    const int fd =
        accept4(use.Get(), static_cast<sockaddr*>(from.Storage()), &length, SOCK_CLOEXEC);
    if (fd == -1) {
        // A listener that Close shut down from another thread reports EINVAL.
        ThrowWSocketException(GetHandle() == kInvalidSocket ? socket_error::kInterrupted
                                                            : FromErrno(errno));
    }
    CWSocket connection;
    connection.Attach(fd);
    from.SetLength(static_cast<int>(length));
    peer = from;
    return connection;
}

void CWSocket::Connect(const CSocketAddress& address, std::uint32_t milliseconds) {
    RequireAddress(address);
    const HandleUse use(*this);
    const int fd = use.Get();
    const int mode = fcntl(fd, F_GETFL);
    if (mode == -1 || fcntl(fd, F_SETFL, mode | O_NONBLOCK) == -1) {
        ThrowErrno(errno);
    }
    // Non-blocking for the wait alone, so that it can end at the time-out.
    int error = 0;
    if (connect(fd, SystemAddress(address), SystemLength(address)) != 0) {
        error = errno == EINPROGRESS ? WaitForConnection(fd, milliseconds) : FromErrno(errno);
    }
    const int restoreError = fcntl(fd, F_SETFL, mode) == -1 ? errno : 0;
    // Close from another thread shuts the socket down, which ends the wait with some error.
    if (GetHandle() == kInvalidSocket) {
        ThrowWSocketException(socket_error::kInterrupted);
    }
    if (error != 0) {
        ThrowWSocketException(error);
    }
    if (restoreError != 0) {
        ThrowErrno(restoreError);
    }
}

std::size_t CWSocket::Send(const void* data, std::size_t length, int flags) {
    const HandleUse use(*this);
    const int fd = use.Get();
    const int translated = TranslateFlags(flags) | MSG_NOSIGNAL;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::size_t sent = 0;
    while (sent < length) {
        const ssize_t part =
            send(fd, bytes + sent, std::min(length - sent, kMaxTransfer), translated);
        if (part < 0 && errno == EINTR) {
            continue;
        }
        if (part < 0) {
            ThrowWSocketException(TransferError(fd, errno));
        }
        sent += static_cast<std::size_t>(part);
    }
    return sent;
}

std::size_t CWSocket::SendTo(const void* data, std::size_t length, const CSocketAddress& to,
                             int flags) {
    RequireDatagramLength(length);
    RequireAddress(to);
    const HandleUse use(*this);
    const int fd = use.Get();
    // No SIGPIPE for a send on a shut-down socket: Winsock reports that as an error only.
    const ssize_t sent = sendto(fd, data, length, TranslateFlags(flags) | MSG_NOSIGNAL,
                                SystemAddress(to), SystemLength(to));
    if (sent < 0) {
        ThrowWSocketException(TransferError(fd, errno));
    }
    return static_cast<std::size_t>(sent);
}

std::size_t CWSocket::ReceiveFrom(void* buffer, std::size_t capacity, CSocketAddress& from,
                                  int flags) {
    const HandleUse use(*this);
    CSocketAddress sender;
    const std::size_t received = ReceiveOne(use.Get(), buffer, capacity, flags, sender);
    from = sender;
    return received;
}

std::size_t CWSocket::ReceiveBatch(std::span<Datagram> datagrams) {
    MessageBatch batch;
    for (std::size_t i = 0; i < datagrams.size() && !batch.IsFull(); ++i) {
        const std::span<std::uint8_t> buffer = datagrams[i].Buffer;
        batch.Add(buffer.data(), std::min(buffer.size(), kMaxTransfer), CSocketAddress());
    }
    if (m_receivesLocal) {
        batch.ReceiveLocal();
    }
    if (batch.Count() == 0) {
        return 0;
    }
    const HandleUse use(*this);
    const int fd = use.Get();
    // Waits for the first datagram only, and takes those that are there already with it.
    const int received = recvmmsg(fd, batch.Messages(), batch.Count(), MSG_WAITFORONE, nullptr);
    if (received < 0) {
        ThrowWSocketException(TransferError(fd, errno));
    }
    std::size_t kept = 0;
    int failure = socket_error::kSystemCallFailure;
    for (std::size_t i = 0; i < static_cast<std::size_t>(received); ++i) {
        if ((batch.Flags(i) & MSG_TRUNC) != 0) {
            failure = socket_error::kMessageSize;
            continue;
        }
        const CSocketAddress sender = batch.Sender(i);
        // No sender: the receiving side was shut down, as in ReceiveOne.
        if (sender.IsEmpty()) {
            failure = socket_error::kShutDown;
            break;
        }
        std::swap(datagrams[kept].Buffer, datagrams[i].Buffer);
        datagrams[kept].Length = batch.Length(i);
        datagrams[kept].Peer = sender;
        if (m_receivesLocal) {
            datagrams[kept].Local = batch.Local(i);
        }
        ++kept;
    }
    if (kept == 0) {
        ThrowWSocketException(failure);
    }
    return kept;
}

std::size_t CWSocket::SendBatch(std::span<const Datagram> datagrams) {
    const HandleUse use(*this);
    const int fd = use.Get();
    std::size_t sent = 0;
    int firstFailure = 0;
    for (std::size_t next = 0; next < datagrams.size();) {
        // The datagrams from `next` on, up to the first that cannot go as it is.
        MessageBatch batch;
        for (std::size_t i = next; i < datagrams.size() && !batch.IsFull(); ++i) {
            if (DatagramFault(datagrams[i]) != 0) {
                break;
            }
            batch.Add(datagrams[i].Buffer.data(), datagrams[i].Length, datagrams[i].Peer);
            if (!datagrams[i].Local.IsEmpty()) {
                batch.SendFrom(datagrams[i].Local);
            }
        }
        int failure = batch.Count() == 0 ? DatagramFault(datagrams[next]) : 0;
        if (failure == 0) {
            const int result = sendmmsg(fd, batch.Messages(), batch.Count(), MSG_NOSIGNAL);
            if (result > 0) {
                sent += static_cast<std::size_t>(result);
                next += static_cast<std::size_t>(result);
                continue;
            }
            if (result < 0 && errno == EINTR) {
                continue;
            }
            failure = result < 0 ? TransferError(fd, errno) : socket_error::kSystemCallFailure;
        }
        // The datagram at `next` cannot go: the others still do.
        firstFailure = firstFailure != 0 ? firstFailure : failure;
        ++next;
    }
    if (sent == 0 && firstFailure != 0) {
        ThrowWSocketException(firstFailure);
    }
    return sent;
}

std::size_t CWSocket::Receive(void* buffer, std::size_t capacity, int flags) {
    CSocketAddress from;
    const HandleUse use(*this);
    const std::size_t received = ReceiveOne(use.Get(), buffer, capacity, flags, from);
    // A stream socket that Close shut down from another thread reads as ended; Winsock fails
    // that receive, and so does this.
    if (received == 0 && capacity != 0 && GetHandle() == kInvalidSocket) {
        ThrowWSocketException(socket_error::kShutDown);
    }
    return received;
}

int CWSocket::PollReadable(std::span<const SocketHandle> handles, std::uint32_t milliseconds) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    std::array<pollfd, kMaxWaited> watched{};
    for (std::size_t i = 0; i < handles.size(); ++i) {
        watched[i] = {handles[i], POLLIN, 0};
    }
    for (;;) {
        const auto left = std::max<long long>(
            0, std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count());
        const int ready = poll(watched.data(), handles.size(),
                               static_cast<int>(std::min<long long>(left, INT_MAX)));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0) {
            ThrowWSocketException(FromErrno(errno));
        }
        if (ready == 0) {
            return -1;
        }
        for (std::size_t i = 0; i < handles.size(); ++i) {
            if (watched[i].revents != 0) {
                return static_cast<int>(i);
            }
        }
    }
}

void CWSocket::Shutdown(SocketShutdown how) {
    const HandleUse use(*this);
    const int fd = use.Get();
    const int direction = how == SocketShutdown::kReceive ? SHUT_RD
                          : how == SocketShutdown::kSend  ? SHUT_WR
                                                          : SHUT_RDWR;
    if (shutdown(fd, direction) != 0) {
        const int code = errno;
        // Linux applies the shutdown to an unconnected datagram socket (and wakes a receive
        // blocked on it) but still reports that there is no peer; Winsock reports success.
        if (code == ENOTCONN && SocketType(fd) == SOCK_DGRAM) {
            return;
        }
        ThrowErrno(code);
    }
}

CSocketAddress CWSocket::GetLocalAddress() const {
    const HandleUse use(*this);
    CSocketAddress local;
    auto length = static_cast<socklen_t>(CSocketAddress::kCapacity);
    if (getsockname(use.Get(), static_cast<sockaddr*>(local.Storage()), &length) != 0) {
        ThrowErrno(errno);
    }
    local.SetLength(static_cast<int>(length));
    // An unbound socket has port 0 here; Winsock gives it no address at all, and so does this.
    return local.Port() != 0 ? local : CSocketAddress();
}

void CWSocket::ReleaseHandle(SocketHandle handle) const noexcept {
    // Winsock releases a call blocked on a socket that another thread closes; close() would leave
    // it blocked, and the port bound, until a datagram came. Shutting the socket down releases it
    // (and makes every later call on it return at once). The descriptor is closed only when the
    // calls have left it, as the system may hand out its number again right after.
    static_cast<void>(shutdown(handle, SHUT_RDWR));
    WaitUntilUnused();
    static_cast<void>(close(handle));
}

int CWSocket::LookUpAddress(const std::string& text, std::uint32_t& address) {
    const in_addr_t quad = inet_addr(text.c_str());
    if (quad != kAddressNone) {
        address = quad;
        return 0;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int result = getaddrinfo(text.c_str(), nullptr, &hints, &found);
    if (result != 0) {
        const int system_error = result == EAI_SYSTEM ? FromErrno(errno) : 0;
        if (system_error != 0) {
            return system_error;
        }
        for (const LookUpMatch& match : kLookUpMatches) {
            if (match.code == result) {
                return match.error;
            }
        }
        return socket_error::kNoRecovery;
    }
    sockaddr_in first{};
    const bool usable =
        found != nullptr && found->ai_addr != nullptr && found->ai_addrlen >= sizeof first;
    if (usable) {
        std::memcpy(&first, found->ai_addr, sizeof first);
    }
    freeaddrinfo(found);
    if (!usable) {
        return socket_error::kNoData;
    }
    address = first.sin_addr.s_addr;
    return 0;
}
