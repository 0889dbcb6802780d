// Winsock behind CWSocket. Its error, option and flag numbers are the wrapper's own, so this is a
// thin layer; Windows Sockets is started by the application.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// winsock2.h before windows.h, which would otherwise bring in the old winsock.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <mswsock.h>
#include <windows.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstddef>
#include <cstring>
#include <type_traits>

#include "net/address_text.h"
#include "net/sockaddr_layout.h"
#include "net/wsocket.h"

static_assert(std::is_same_v<SocketHandle, SOCKET>);
static_assert(socket_option::kLevelSocket == SOL_SOCKET);
static_assert(socket_option::kBroadcast == SO_BROADCAST);
static_assert(socket_option::kSendBuffer == SO_SNDBUF);
static_assert(socket_option::kReceiveBuffer == SO_RCVBUF);
static_assert(socket_option::kSendTimeout == SO_SNDTIMEO);
static_assert(socket_option::kReceiveTimeout == SO_RCVTIMEO);
static_assert(socket_flag::kOutOfBand == MSG_OOB && socket_flag::kPeek == MSG_PEEK);
static_assert(socket_flag::kDontRoute == MSG_DONTROUTE && socket_flag::kWaitAll == MSG_WAITALL);
static_assert(socket_error::kTimedOut == WSAETIMEDOUT && socket_error::kMessageSize == WSAEMSGSIZE);
static_assert(socket_error::kHostNotFound == WSAHOST_NOT_FOUND);

#include "net/sockaddr_layout_check.h"

namespace {

// SIO_UDP_CONNRESET, _WSAIOW(IOC_VENDOR, 12); not every SDK's headers define it.
constexpr DWORD kUdpConnectionReset = 0x9800000Cu;
// FIONBIO as ioctlsocket takes it: its headers define it unsigned, the parameter is signed.
constexpr long kNonBlockingIo = static_cast<long>(FIONBIO);

// Winsock takes lengths as int; larger buffers are used up to this.
constexpr std::size_t kMaxTransfer = INT_MAX;

const sockaddr* SystemAddress(const CSocketAddress& address) {
    return static_cast<const sockaddr*>(address.Data());
}

int TransferLength(std::size_t length) {
    return static_cast<int>(std::min(length, kMaxTransfer));
}

// Room for the one control message that a datagram carries: its local address (IP_PKTINFO).
constexpr std::size_t kControlSize = WSA_CMSG_SPACE(sizeof(IN_PKTINFO));
struct alignas(WSACMSGHDR) ControlBuffer {
    char Bytes[kControlSize];
};

// WSARecvMsg, which Winsock gives only as an extension of the socket's provider; the same for
// every socket of the system's, so asked once.
LPFN_WSARECVMSG ReceiveMessageFunction(SOCKET handle) {
    static std::atomic<LPFN_WSARECVMSG> known{nullptr};
    LPFN_WSARECVMSG function = known.load();
    if (function != nullptr) {
        return function;
    }
    GUID id = WSAID_WSARECVMSG;
    DWORD returned = 0;
    if (WSAIoctl(handle, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &function,
                 sizeof function, &returned, nullptr, nullptr) == SOCKET_ERROR) {
        ThrowWSocketException();
    }
    known.store(function);
    return function;
}

// The address that a received message came to, from its IP_PKTINFO; empty without one.
CSocketAddress LocalOf(WSAMSG& message) {
    for (WSACMSGHDR* control = WSA_CMSG_FIRSTHDR(&message); control != nullptr;
         control = WSA_CMSG_NXTHDR(&message, control)) {
        if (control->cmsg_level == IPPROTO_IP && control->cmsg_type == IP_PKTINFO) {
            IN_PKTINFO info{};
            std::memcpy(&info, WSA_CMSG_DATA(control), sizeof info);
            std::array<std::uint8_t, sizeof info.ipi_addr> bytes{};
            std::memcpy(bytes.data(), &info.ipi_addr, bytes.size());
            return CSocketAddress::FromBytes(AddressFamily::kIpv4, bytes, 0);
        }
    }
    return {};
}

// A message of one datagram to or from `peer`, with room for one control message.
WSAMSG OneDatagram(WSABUF& data, CSocketAddress& peer, ControlBuffer& control) {
    WSAMSG message{};
    message.name = static_cast<sockaddr*>(peer.Storage());
    message.namelen = peer.IsEmpty() ? CSocketAddress::kCapacity : peer.Length();
    message.lpBuffers = &data;
    message.dwBufferCount = 1;
    message.Control = {static_cast<ULONG>(kControlSize), control.Bytes};
    return message;
}

}  // namespace

int LastSocketError() noexcept {
    return WSAGetLastError();
}

namespace {

// Windows' own texts for the socket errors that this program reports to its user, for systems
// whose message tables lack them (Wine has none for most Winsock numbers).
std::string_view WinsockText(int error) {
    switch (error) {
        case socket_error::kAccessDenied:
            return "An attempt was made to access a socket in a way forbidden by its access "
                   "permissions.";
        case socket_error::kAddressFamilyNotSupported:
            return "An address incompatible with the requested protocol was used.";
        case socket_error::kAddressInUse:
            return "Only one usage of each socket address (protocol/network address/port) is "
                   "normally permitted.";
        case socket_error::kAddressNotAvailable:
            return "The requested address is not valid in its context.";
        case socket_error::kNetworkUnreachable:
            return "A socket operation was attempted to an unreachable network.";
        case socket_error::kConnectionReset:
            return "An existing connection was forcibly closed by the remote host.";
        case socket_error::kTimedOut:
            return "A connection attempt failed because the connected party did not properly "
                   "respond after a period of time, or established connection failed because "
                   "connected host has failed to respond.";
        case socket_error::kConnectionRefused:
            return "No connection could be made because the target machine actively refused it.";
        default:
            return {};
    }
}

}  // namespace

std::string CWSocketException::SystemMessage(int error) {
    wchar_t* text = nullptr;
    // FORMAT_MESSAGE_IGNORE_INSERTS: there are no arguments for a text that expects some.
    // Language 0: the user's language first. The wide form, so that a text in any language
    // reaches the program in its UTF-8.
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::string message;
    if (length != 0 && text != nullptr) {
        const int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0,
                                             nullptr, nullptr);
        message.resize(static_cast<size_t>(std::max(size, 0)));
        WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), message.data(), size,
                            nullptr, nullptr);
    }
    if (text != nullptr) {
        LocalFree(text);
    }
    if (message.empty()) {
        message = WinsockText(error);
    }
    return message;
}

void CWSocket::Create(bool udp, AddressFamily family) {
    const bool ipv6 = family == AddressFamily::kIpv6;
    const SOCKET handle = socket(ipv6 ? AF_INET6 : AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, 0);
    if (handle == kInvalidSocket) {
        ThrowWSocketException();
    }
    // Windows makes IPv6 sockets IPv6 only by default; said here so that it never depends on it.
    const DWORD on = 1;
    if (ipv6 && setsockopt(handle, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&on),
                           sizeof on) == SOCKET_ERROR) {
        const int error = WSAGetLastError();
        static_cast<void>(closesocket(handle));
        ThrowWSocketException(error);
    }
    Attach(handle);
    m_receivesLocal = false;
}

void CWSocket::Bind(const CSocketAddress& address) {
    RequireAddress(address);
    const HandleUse use(*this);
    if (bind(use.Get(), SystemAddress(address), address.Length()) == SOCKET_ERROR) {
        ThrowWSocketException();
    }
}

void CWSocket::SetSockOpt(int option, const void* value, int length, int level) {
    const HandleUse use(*this);
    const SOCKET handle = use.Get();
    if (setsockopt(handle, level, option, static_cast<const char*>(value), length) ==
        SOCKET_ERROR) {
        ThrowWSocketException();
    }
}

void CWSocket::DisableConnectionResetReports() {
    const HandleUse use(*this);
    const SOCKET handle = use.Get();
    BOOL report = FALSE;
    DWORD returned = 0;
    if (WSAIoctl(handle, kUdpConnectionReset, &report, sizeof report, nullptr, 0, &returned,
                 nullptr, nullptr) == SOCKET_ERROR) {
        ThrowWSocketException();
    }
}

void CWSocket::ReceiveLocalAddresses(bool on) {
    const HandleUse use(*this);
    const DWORD value = on ? 1 : 0;
    if (setsockopt(use.Get(), IPPROTO_IP, IP_PKTINFO, reinterpret_cast<const char*>(&value),
                   sizeof value) == SOCKET_ERROR) {
        ThrowWSocketException();
    }
    if (on) {
        // Asked now, so that no receive fails for want of it.
        ReceiveMessageFunction(use.Get());
    }
    m_receivesLocal = on;
}

// Windows lets a listener bind beside connections that wait out their close; its SO_REUSEADDR
// would let another socket share the port instead.
void CWSocket::AllowListenerRebind() {
    const HandleUse use(*this);
}

void CWSocket::Listen(int backlog) {
    const HandleUse use(*this);
    if (listen(use.Get(), backlog) == SOCKET_ERROR) {
        ThrowWSocketException();
    }
}

CWSocket CWSocket::Accept(CSocketAddress& peer) {
    const HandleUse use(*this);
    CSocketAddress from;
    int length = CSocketAddress::kCapacity;
    const SOCKET handle = accept(use.Get(), static_cast<sockaddr*>(from.Storage()), &length);
    if (handle == INVALID_SOCKET) {
        ThrowWSocketException();
    }
    CWSocket connection;
    connection.Attach(handle);
    from.SetLength(length);
    peer = from;
    return connection;
}

void CWSocket::Connect(const CSocketAddress& address, std::uint32_t milliseconds) {
    RequireAddress(address);
    const HandleUse use(*this);
    const SOCKET handle = use.Get();
    // Non-blocking for the wait alone, so that it can end at the time-out.
    u_long nonBlocking = 1;
    if (ioctlsocket(handle, kNonBlockingIo, &nonBlocking) == SOCKET_ERROR) {
        ThrowWSocketException();
    }
    int error = 0;
    if (connect(handle, SystemAddress(address), address.Length()) == SOCKET_ERROR) {
        error = WSAGetLastError();
    }
    if (error == WSAEWOULDBLOCK) {
        fd_set writable;
        fd_set failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(handle, &writable);
        FD_SET(handle, &failed);
        timeval limit{};
        limit.tv_sec = static_cast<long>(milliseconds / 1000);
        limit.tv_usec = static_cast<long>(milliseconds % 1000 * 1000);
        // A failed connect is reported in the exception set, its reason in SO_ERROR.
        const int ready =
            select(0, nullptr, &writable, &failed, milliseconds != 0 ? &limit : nullptr);
        if (ready == SOCKET_ERROR) {
            error = WSAGetLastError();
        } else if (ready == 0) {
            error = WSAETIMEDOUT;
        } else if (FD_ISSET(handle, &failed)) {
            int reason = 0;
            int length = sizeof reason;
            error = getsockopt(handle, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&reason),
                               &length) == SOCKET_ERROR
                        ? WSAGetLastError()
                        : reason;
            if (error == 0) {
                error = WSAECONNREFUSED;
            }
        } else {
            error = 0;
        }
    }
    u_long blocking = 0;
    const int restoreError =
        ioctlsocket(handle, kNonBlockingIo, &blocking) == SOCKET_ERROR ? WSAGetLastError() : 0;
    if (GetHandle() == kInvalidSocket) {
        ThrowWSocketException(socket_error::kInterrupted);
    }
    if (error != 0) {
        ThrowWSocketException(error);
    }
    if (restoreError != 0) {
        ThrowWSocketException(restoreError);
    }
}

std::size_t CWSocket::Send(const void* data, std::size_t length, int flags) {
    const HandleUse use(*this);
    const SOCKET handle = use.Get();
    const auto* bytes = static_cast<const char*>(data);
    std::size_t sent = 0;
    while (sent < length) {
        const int part = send(handle, bytes + sent, TransferLength(length - sent), flags);
        if (part == SOCKET_ERROR) {
            ThrowWSocketException();
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
    const int sent = sendto(use.Get(), static_cast<const char*>(data), TransferLength(length),
                            flags, SystemAddress(to), to.Length());
    if (sent == SOCKET_ERROR) {
        ThrowWSocketException();
    }
    return static_cast<std::size_t>(sent);
}

std::size_t CWSocket::ReceiveFrom(void* buffer, std::size_t capacity, CSocketAddress& from,
                                  int flags) {
    const HandleUse use(*this);
    CSocketAddress sender;
    int length = CSocketAddress::kCapacity;
    const int received = recvfrom(use.Get(), static_cast<char*>(buffer), TransferLength(capacity),
                                  flags, static_cast<sockaddr*>(sender.Storage()), &length);
    if (received == SOCKET_ERROR) {
        ThrowWSocketException();
    }
    sender.SetLength(length);
    from = sender;
    return static_cast<std::size_t>(received);
}

std::size_t CWSocket::ReceiveBatch(std::span<Datagram> datagrams) {
    if (datagrams.empty()) {
        return 0;
    }
    Datagram& first = datagrams.front();
    if (!m_receivesLocal) {
        first.Length = ReceiveFrom(first.Buffer.data(), first.Buffer.size(), first.Peer);
        return 1;
    }
    const HandleUse use(*this);
    const SOCKET handle = use.Get();
    WSABUF data{static_cast<ULONG>(TransferLength(first.Buffer.size())),
                reinterpret_cast<char*>(first.Buffer.data())};
    CSocketAddress sender;
    ControlBuffer control;
    WSAMSG message = OneDatagram(data, sender, control);
    DWORD received = 0;
    if (ReceiveMessageFunction(handle)(handle, &message, &received, nullptr, nullptr) ==
        SOCKET_ERROR) {
        ThrowWSocketException();
    }
    if ((message.dwFlags & MSG_TRUNC) != 0) {
        ThrowWSocketException(socket_error::kMessageSize);
    }
    sender.SetLength(message.namelen);
    first.Length = received;
    first.Peer = sender;
    first.Local = LocalOf(message);
    return 1;
}

std::size_t CWSocket::SendBatch(std::span<const Datagram> datagrams) {
    // One datagram from its local address; the source is the only control message.
    auto sendFrom = [this](const Datagram& datagram) {
        const HandleUse use(*this);
        WSABUF data{static_cast<ULONG>(datagram.Length),
                    reinterpret_cast<char*>(datagram.Buffer.data())};
        CSocketAddress peer = datagram.Peer;
        ControlBuffer control;
        WSAMSG message = OneDatagram(data, peer, control);
        WSACMSGHDR* header = WSA_CMSG_FIRSTHDR(&message);
        header->cmsg_level = IPPROTO_IP;
        header->cmsg_type = IP_PKTINFO;
        header->cmsg_len = WSA_CMSG_LEN(sizeof(IN_PKTINFO));
        IN_PKTINFO info{};
        std::memcpy(&info.ipi_addr, datagram.Local.AddressBytes().data(), sizeof info.ipi_addr);
        std::memcpy(WSA_CMSG_DATA(header), &info, sizeof info);
        DWORD sent = 0;
        if (WSASendMsg(use.Get(), &message, 0, &sent, nullptr, nullptr) == SOCKET_ERROR) {
            ThrowWSocketException();
        }
    };
    std::size_t sent = 0;
    int firstFailure = 0;
    for (const Datagram& datagram : datagrams) {
        int failure = DatagramFault(datagram);
        if (failure == 0) {
            try {
                if (datagram.Local.IsEmpty()) {
                    SendTo(datagram.Buffer.data(), datagram.Length, datagram.Peer);
                } else {
                    sendFrom(datagram);
                }
                ++sent;
            } catch (const CWSocketException& e) {
                failure = e.GetError();
            }
        }
        firstFailure = firstFailure != 0 ? firstFailure : failure;
    }
    if (sent == 0 && firstFailure != 0) {
        ThrowWSocketException(firstFailure);
    }
    return sent;
}

std::size_t CWSocket::Receive(void* buffer, std::size_t capacity, int flags) {
    const HandleUse use(*this);
    const SOCKET handle = use.Get();
    const int received = recv(handle, static_cast<char*>(buffer), TransferLength(capacity), flags);
    if (received == SOCKET_ERROR) {
        ThrowWSocketException();
    }
    return static_cast<std::size_t>(received);
}

int CWSocket::PollReadable(std::span<const SocketHandle> handles, std::uint32_t milliseconds) {
    fd_set readable;
    fd_set failed;
    FD_ZERO(&readable);
    FD_ZERO(&failed);
    for (const SocketHandle handle : handles) {
        FD_SET(handle, &readable);
        FD_SET(handle, &failed);
    }
    timeval limit{};
    limit.tv_sec = static_cast<long>(milliseconds / 1000);
    limit.tv_usec = static_cast<long>(milliseconds % 1000 * 1000);
    const int ready = select(0, &readable, nullptr, &failed, &limit);
    if (ready == SOCKET_ERROR) {
        // A handle closed by another thread during the wait: its receive tells the rest.
        if (WSAGetLastError() == WSAENOTSOCK) {
            return 0;
        }
        ThrowWSocketException();
    }
    for (std::size_t i = 0; i < handles.size(); ++i) {
        if (FD_ISSET(handles[i], &readable) || FD_ISSET(handles[i], &failed)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

void CWSocket::Shutdown(SocketShutdown how) {
    const HandleUse use(*this);
    const SOCKET handle = use.Get();
    if (shutdown(handle, static_cast<int>(how)) == SOCKET_ERROR) {
        ThrowWSocketException();
    }
}

CSocketAddress CWSocket::GetLocalAddress() const {
    const HandleUse use(*this);
    CSocketAddress local;
    int length = CSocketAddress::kCapacity;
    if (getsockname(use.Get(), static_cast<sockaddr*>(local.Storage()), &length) == SOCKET_ERROR) {
        // An unbound socket has no name yet.
        if (WSAGetLastError() == WSAEINVAL) {
            return {};
        }
        ThrowWSocketException();
    }
    local.SetLength(length);
    return local;
}

// A call blocked on the socket in another thread fails as soon as it is closed; shutdown would
// not release it, so there is nothing to wait for first.
void CWSocket::ReleaseHandle(SocketHandle handle) const noexcept {
    static_cast<void>(closesocket(handle));
}

int CWSocket::LookUpAddress(const std::string& text, std::uint32_t& address) {
    const auto quad = static_cast<std::uint32_t>(inet_addr(text.c_str()));
    if (quad != kAddressNone) {
        address = quad;
        return 0;
    }
    // getaddrinfo rather than gethostbyname: it is safe on several threads at once, and it
    // returns a Windows Sockets number on failure.
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int result = getaddrinfo(text.c_str(), nullptr, &hints, &found);
    if (result != 0) {
        return result;
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
