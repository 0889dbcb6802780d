#include "system/dns_client_service.h"

namespace {

// A handle of the service control manager or of a service, closed when it goes.
class CServiceHandle {
public:
    explicit CServiceHandle(SC_HANDLE handle) : m_handle(handle) {}
    CServiceHandle(const CServiceHandle&) = delete;
    CServiceHandle& operator=(const CServiceHandle&) = delete;
    ~CServiceHandle() {
        if (m_handle != nullptr) {
            ::CloseServiceHandle(m_handle);
        }
    }
    [[nodiscard]] SC_HANDLE Get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }

private:
    SC_HANDLE m_handle;
};

DWORD QueryState(SC_HANDLE service) {
    SERVICE_STATUS status{};
    return ::QueryServiceStatus(service, &status) ? status.dwCurrentState : kServiceStateUnknown;
}

// One step towards the wanted state from the state found; 1 when done or nothing was to do.
int MoveService(SC_HANDLE service, DWORD found, bool start, const ShowUserMessage& showMessage) {
    auto fail = [&](const char* text) {
        if (showMessage) {
            showMessage(text);
        }
        return 0;
    };
    switch (found) {
        case SERVICE_STOPPED:
        case SERVICE_PAUSED:
            if (start && !::StartServiceA(service, 0, nullptr)) {
                return fail(kCannotStartDnsClientMessage);
            }
            return 1;
        case SERVICE_RUNNING: {
            SERVICE_STATUS status{};
            if (start || ::ControlService(service, SERVICE_CONTROL_STOP, &status)) {
                return 1;
            }
            // Since Windows 10 the DNS client takes no stop control. The proxy serves all the
            // same: the system's lookups go to the adapters' server, which is the proxy.
            if (::GetLastError() == ERROR_INVALID_SERVICE_CONTROL) {
                return 1;
            }
            return fail(kCannotStopDnsClientMessage);
        }
        default:
            // On its way somewhere, or unknown: better left alone.
            return 0;
    }
}

}  // namespace

int ControlDnsClientService(bool start, DWORD* state, const ShowUserMessage& showMessage) {
    CServiceHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        return 0;
    }
    CServiceHandle service(
        ::OpenServiceA(manager.Get(), kDnsClientServiceName, SERVICE_ALL_ACCESS));
    if (!service) {
        return 1;
    }
    const DWORD found = QueryState(service.Get());
    if (state != nullptr) {
        *state = found;
    }
    return MoveService(service.Get(), found, start, showMessage);
}

bool DnsClientRunning() {
    CServiceHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    CServiceHandle service(
        manager ? ::OpenServiceA(manager.Get(), kDnsClientServiceName, SERVICE_QUERY_STATUS)
                : nullptr);
    return service && QueryState(service.Get()) == SERVICE_RUNNING;
}
