#include "net/wsocket.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>

namespace {

constexpr std::uint32_t kAnyAddress = 0;
constexpr std::uint32_t kBroadcastAddress = 0xFFFFFFFFu;
// Winsock takes lengths as int.
constexpr std::size_t kMaxDatagram = INT_MAX;

}  // namespace

bool CWSocketException::GetErrorMessage(char* buffer, std::size_t capacity,
                                        unsigned* help_context) const {
    if (help_context != nullptr) {
        *help_context = 0;
    }
    if (buffer == nullptr || capacity == 0) {
        return false;
    }
    const std::string text = SystemMessage(m_error);
    const std::size_t length = std::min(text.size(), capacity - 1);
    text.copy(buffer, length);
    buffer[length] = '\0';
    return !text.empty();
}

std::string CWSocketException::GetErrorMessage() const {
    return SystemMessage(m_error);
}

void ThrowWSocketException(int error) {
    if (error == 0) {
        error = LastSocketError();
    }
    if (error == 0) {
        error = socket_error::kSystemCallFailure;
    }
    throw CWSocketException(error);
}

CWSocket::CWSocket(CWSocket&& other) noexcept
    : m_handle(other.Detach()), m_receivesLocal(other.m_receivesLocal) {}

CWSocket& CWSocket::operator=(CWSocket&& other) noexcept {
    if (this != &other) {
        Attach(other.Detach());
        m_receivesLocal = other.m_receivesLocal;
    }
    return *this;
}

CWSocket::~CWSocket() {
    Close();
}

void CWSocket::Close() noexcept {
    // Exchanged, so that two threads closing at once close the handle once.
    const SocketHandle handle = m_handle.exchange(kInvalidSocket);
    if (handle != kInvalidSocket) {
        ReleaseHandle(handle);
    }
}

void CWSocket::Attach(SocketHandle handle) noexcept {
    const SocketHandle previous = m_handle.exchange(handle);
    if (previous != kInvalidSocket && previous != handle) {
        ReleaseHandle(previous);
    }
}

SocketHandle CWSocket::Detach() noexcept {
    return m_handle.exchange(kInvalidSocket);
}

CWSocket::HandleUse::HandleUse(const CWSocket& socket) : m_socket(socket) {
    // Counted before the handle is read: a Close that takes the handle after this waits for the
    // count, and one that took it before leaves the invalid handle here.
    m_socket.m_users.fetch_add(1);
    m_handle = m_socket.GetHandle();
    if (m_handle == kInvalidSocket) {
        if (m_socket.m_users.fetch_sub(1) == 1) {
            m_socket.m_users.notify_all();
        }
        ThrowWSocketException(socket_error::kNotSocket);
    }
}

CWSocket::HandleUse::~HandleUse() {
    if (m_socket.m_users.fetch_sub(1) == 1) {
        m_socket.m_users.notify_all();
    }
}

void CWSocket::WaitUntilUnused() const noexcept {
    for (int users = m_users.load(); users != 0; users = m_users.load()) {
        m_users.wait(users);
    }
}

std::optional<std::size_t> CWSocket::WaitReadable(std::span<CWSocket* const> sockets,
                                                  std::uint32_t milliseconds) {
    if (sockets.size() > kMaxWaited) {
        ThrowWSocketException(socket_error::kInvalidArgument);
    }
    // Each handle stays in use for the whole wait, so that a close waits for the wait to end.
    std::array<std::optional<HandleUse>, kMaxWaited> uses;
    std::array<SocketHandle, kMaxWaited> handles{};
    for (std::size_t i = 0; i < sockets.size(); ++i) {
        if (sockets[i]->GetHandle() == kInvalidSocket) {
            return i;
        }
        try {
            uses[i].emplace(*sockets[i]);
        } catch (const CWSocketException&) {
            return i;  // closed just now
        }
        handles[i] = uses[i]->Get();
    }
    const int ready = PollReadable(std::span(handles).first(sockets.size()), milliseconds);
    if (ready < 0) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(ready);
}

void CWSocket::SetReceiveTimeout(std::uint32_t milliseconds) {
    SetSockOpt(socket_option::kReceiveTimeout, &milliseconds, sizeof milliseconds);
}

CSocketAddress CWSocket::ResolveAddress(std::optional<std::string_view> address, std::uint16_t port,
                                        std::uint32_t none, int failure) {
    std::uint32_t resolved = none;
    if (address) {
        // The empty text names no host (a system lookup would take it for this machine).
        int error = socket_error::kHostNotFound;
        if (!address->empty()) {
            error = LookUpAddress(std::string(*address), resolved);
        }
        if (error != 0) {
            ThrowWSocketException(failure != 0 ? failure : error);
        }
    }
    std::array<std::uint8_t, sizeof resolved> bytes{};
    std::memcpy(bytes.data(), &resolved, bytes.size());
    return CSocketAddress::FromBytes(AddressFamily::kIpv4, bytes, port);
}

void CWSocket::RequireAddress(const CSocketAddress& address) {
    if (address.IsEmpty()) {
        ThrowWSocketException(socket_error::kBadAddress);
    }
}

void CWSocket::RequireDatagramLength(std::size_t length) {
    if (length > kMaxDatagram) {
        ThrowWSocketException(socket_error::kMessageSize);
    }
}

int CWSocket::DatagramFault(const Datagram& datagram) noexcept {
    if (datagram.Peer.IsEmpty() || datagram.Length > datagram.Buffer.size()) {
        return socket_error::kBadAddress;
    }
    // Only an IPv4 reply is sent from a chosen address.
    if (!datagram.Local.IsEmpty() && datagram.Local.Family() != AddressFamily::kIpv4) {
        return socket_error::kAddressFamilyNotSupported;
    }
    return datagram.Length > kMaxDatagram ? socket_error::kMessageSize : 0;
}

// The text forms, on top of the binary ones.

void CWSocket::Bind(std::uint16_t port, std::optional<std::string_view> address) {
    Bind(ResolveAddress(address, port, kAnyAddress, socket_error::kInvalidArgument));
}

CWSocket CWSocket::Accept(std::string& address, std::uint16_t& port) {
    CSocketAddress peer;
    CWSocket connection = Accept(peer);
    address = peer.AddressText();
    port = peer.Port();
    return connection;
}

void CWSocket::Connect(std::uint16_t port, std::string_view address, std::uint32_t milliseconds) {
    Connect(ResolveAddress(address, port, kAnyAddress, 0), milliseconds);
}

std::size_t CWSocket::SendTo(const void* data, std::size_t length, std::uint16_t port,
                             std::optional<std::string_view> address, int flags) {
    // Checked before the name is looked up, which would be in vain.
    RequireDatagramLength(length);
    return SendTo(data, length, ResolveAddress(address, port, kBroadcastAddress, 0), flags);
}

std::size_t CWSocket::ReceiveFrom(void* buffer, std::size_t capacity, std::string& address,
                                  std::uint16_t& port, int flags) {
    CSocketAddress from;
    const std::size_t received = ReceiveFrom(buffer, capacity, from, flags);
    address = from.AddressText();
    port = from.Port();
    return received;
}

std::uint16_t CWSocket::GetLocalPort() const {
    return GetLocalAddress().Port();
}
