#include "core/dns_socket.h"

#include <system_error>
#include <utility>

CDnsSocket::CDnsSocket(CDnsItemMap* cache, CUpstreamSettings& upstream, IDnsProxyObserver* observer,
                       ProxyLimits limits, const IClock& clock)
    : m_notifier(observer, limits.MaxChangeBatch),
      m_resolver(upstream),
      m_handler(*cache, m_statistics, m_notifier, clock),
      m_pool(m_handler, upstream, limits.MaxForwards),
      m_udp(m_handler, m_pool, m_notifier),
      m_tcp(m_handler, upstream, limits.MaxTcpConnections, limits.TcpIdleTimeout) {}

CDnsSocket::~CDnsSocket() {
    StopDnsServer();
}

bool CDnsSocket::RunDnsServer(std::uint16_t port, std::optional<std::string> address) {
    StopDnsServer();
    try {
        OpenListeners(port, address);
    } catch (const CWSocketException& e) {
        // Told with no lock held: the owner may show it in a message box that handles messages.
        m_notifier.ReportError(RunErrorText(e));
        return false;
    }
    m_pool.Start();
    // Running from here on, so that a failure below is undone by the ordinary stop.
    m_bRunning.store(true);
    try {
        m_udp.Start();
        m_tcp.Start();
    } catch (const std::system_error& e) {
        StopDnsServer();
        m_notifier.ReportError("CDnsSocket::RunDnsServer - Error:" +
                               std::to_string(e.code().value()) + " Cause: " + e.what() + "\n");
        return false;
    }
    return true;
}

void CDnsSocket::OpenListeners(std::uint16_t port, const std::optional<std::string>& address) {
    constexpr int kAttempts = 16;
    for (int attempt = 1;; ++attempt) {
        m_udp.Open(port, address);
        try {
            m_tcp.Open(m_udp.Port(), address);
            return;
        } catch (const CWSocketException& e) {
            m_udp.Stop();
            if (port != 0 || e.GetError() != socket_error::kAddressInUse || attempt == kAttempts) {
                throw;
            }
        }
    }
}

void CDnsSocket::StopDnsServer() {
    m_bRunning.store(false);
    // The listeners first, so that nothing new is taken in; then the forwards.
    m_udp.Stop();
    m_tcp.Stop();
    m_pool.Stop();
}
