#include "core/dns_socket.h"

#include <algorithm>
#include <system_error>
#include <utility>

namespace {

// Failures of an IPv6 socket that mean the system has no IPv6 (or none on loopback): the proxy
// then serves over IPv4 alone and says nothing.
bool MeansNoIpv6(int error) {
    return error == socket_error::kAddressFamilyNotSupported ||
           error == socket_error::kAddressNotAvailable ||
           error == socket_error::kProtocolNotSupported;
}

}  // namespace

CDnsSocket::CDnsSocket(CDnsItemMap* cache, CUpstreamSettings& upstream, IDnsProxyObserver* observer,
                       ProxyOptions options, const IClock& clock)
    : m_options(std::move(options)),
      m_upstream(upstream),
      m_notifier(observer, m_options.MaxChangeBatch),
      m_handler(*cache, upstream, m_statistics, m_notifier, clock, m_options.OldAnswers),
      m_watch(upstream, m_handler, m_options.SilentServerProbePeriod),
      m_pool(m_handler, upstream, m_options.MaxForwards),
      m_filter(m_options.Clients, m_options.Addresses) {}

CDnsSocket::~CDnsSocket() {
    StopDnsServer();
}

bool CDnsSocket::RunDnsServer(std::uint16_t port, std::optional<std::string> address) {
    StopDnsServer();
    m_udp.clear();
    m_tcp.clear();
    std::optional<CSocketAddress> ipv4 = CSocketAddress::Any(AddressFamily::kIpv4, port);
    if (address) {
        ipv4 = CSocketAddress::FromText(*address, port);
    }
    try {
        if (!ipv4) {
            ThrowWSocketException(socket_error::kInvalidArgument);
        }
        OpenIpv4(port, *ipv4);
    } catch (const CWSocketException& e) {
        m_udp.clear();
        m_tcp.clear();
        // Told with no lock held: the owner may show it in a message box that handles messages.
        m_notifier.ReportError(RunErrorText(e));
        return false;
    }
    if (!address) {
        OpenIpv6Loopback(ListeningPort());
    }
    m_filter.Start();
    m_pool.Start();
    m_watch.Start();
    // Running from here on, so that a failure below is undone by the ordinary stop.
    m_running.store(true);
    try {
        for (const auto& listener : m_udp) {
            listener->Start();
        }
        for (const auto& listener : m_tcp) {
            listener->Start();
        }
    } catch (const std::system_error& e) {
        StopDnsServer();
        m_notifier.ReportError("CDnsSocket::RunDnsServer - Error:" +
                               std::to_string(e.code().value()) + " Cause: " + e.what() + "\n");
        return false;
    }
    return true;
}

void CDnsSocket::OpenIpv4(std::uint16_t port, const CSocketAddress& address) {
    constexpr int kAttempts = 16;
    for (int attempt = 1;; ++attempt) {
        auto udp = std::make_unique<CDnsUdpListener>(m_handler, m_pool, m_notifier, m_filter);
        udp->Open(address);
        CSocketAddress tcpAddress = address;
        tcpAddress.SetPort(udp->Port());
        m_udp.push_back(std::move(udp));
        try {
            AddTcp(tcpAddress);
            return;
        } catch (const CWSocketException& e) {
            // A chosen port that TCP has taken: another one is tried.
            if (port == 0 && e.GetError() == socket_error::kAddressInUse && attempt < kAttempts) {
                m_udp.clear();
                continue;
            }
            if (port == 0) {
                throw;
            }
            return;
        }
    }
}

void CDnsSocket::OpenIpv6Loopback(std::uint16_t port) {
    const CSocketAddress loopback = CSocketAddress::Loopback(AddressFamily::kIpv6, port);
    try {
        auto udp = std::make_unique<CDnsUdpListener>(m_handler, m_pool, m_notifier, m_filter);
        udp->Open(loopback);
        m_udp.push_back(std::move(udp));
        AddTcp(loopback);
    } catch (const CWSocketException& e) {
        if (!MeansNoIpv6(e.GetError())) {
            m_notifier.ReportError(RunErrorText(e));
        }
    }
}

void CDnsSocket::AddTcp(const CSocketAddress& address) {
    auto tcp =
        std::make_unique<CDnsTcpListener>(m_handler, m_pool, m_upstream, m_filter,
                                          m_options.MaxTcpConnections, m_options.TcpIdleTimeout);
    tcp->Open(address);
    m_tcp.push_back(std::move(tcp));
}

void CDnsSocket::StopDnsServer() {
    m_running.store(false);
    // The listeners first, so that nothing new is taken in; then the forwards.
    for (const auto& listener : m_udp) {
        listener->Stop();
    }
    for (const auto& listener : m_tcp) {
        listener->Stop();
    }
    m_pool.Stop();
    m_watch.Stop();
    m_filter.Stop();
}

bool CDnsSocket::TcpServing() const {
    return m_running.load() && std::ranges::any_of(m_tcp, [](const auto& listener) {
               return listener->Family() == AddressFamily::kIpv4;
           });
}

std::uint32_t CDnsSocket::RestartCount() const {
    return m_udp.empty() ? 0 : m_udp.front()->RestartCount();
}

int CDnsSocket::TcpConnections() const {
    int connections = 0;
    for (const auto& listener : m_tcp) {
        connections += listener->Connections();
    }
    return connections;
}

std::uint32_t CDnsSocket::RefusedTcpConnections() const {
    std::uint32_t refused = 0;
    for (const auto& listener : m_tcp) {
        refused += listener->RefusedConnections();
    }
    return refused;
}
