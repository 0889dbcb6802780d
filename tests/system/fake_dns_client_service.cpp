// A stand-in for the system's DNS client service, registered under its name in a test's own
// Wine prefix. It runs until stopped and can be paused. With the option --no-stop it takes no
// stop control, as the DNS client since Windows 10 (the stop fails with 1052); with --ignore-stop
// it takes the control and goes on running, and Wine refuses a second stop (1061) and ends it.
#include <windows.h>

#include <cstring>

#include "system/dns_client_service.h"

namespace {

SERVICE_STATUS_HANDLE g_status = nullptr;
HANDLE g_stopped = nullptr;
bool g_acceptsStop = true;
bool g_ignoresStop = false;

void Report(DWORD state) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    if (state == SERVICE_RUNNING || state == SERVICE_PAUSED) {
        status.dwControlsAccepted =
            SERVICE_ACCEPT_PAUSE_CONTINUE | (g_acceptsStop ? SERVICE_ACCEPT_STOP : 0);
    }
    status.dwWaitHint = 1000;
    ::SetServiceStatus(g_status, &status);
}

DWORD WINAPI Handler(DWORD control, DWORD, void*, void*) {
    if (control == SERVICE_CONTROL_STOP && g_ignoresStop) {
        return NO_ERROR;
    }
    if (control == SERVICE_CONTROL_STOP && g_acceptsStop) {
        Report(SERVICE_STOP_PENDING);
        ::SetEvent(g_stopped);
    } else if (control == SERVICE_CONTROL_PAUSE || control == SERVICE_CONTROL_CONTINUE) {
        Report(control == SERVICE_CONTROL_PAUSE ? SERVICE_PAUSED : SERVICE_RUNNING);
    } else if (control == SERVICE_CONTROL_STOP) {
        return ERROR_INVALID_SERVICE_CONTROL;
    } else if (control != SERVICE_CONTROL_INTERROGATE) {
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
    return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, char**) {
    g_status = ::RegisterServiceCtrlHandlerExA(kDnsClientServiceName, Handler, nullptr);
    g_stopped = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Report(SERVICE_START_PENDING);
    Report(SERVICE_RUNNING);
    ::WaitForSingleObject(g_stopped, INFINITE);
    Report(SERVICE_STOPPED);
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        g_acceptsStop = g_acceptsStop && std::strcmp(argv[i], "--no-stop") != 0;
        g_ignoresStop = g_ignoresStop || std::strcmp(argv[i], "--ignore-stop") == 0;
    }
    char name[sizeof(kDnsClientServiceName)];
    std::memcpy(name, kDnsClientServiceName, sizeof(name));
    SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    return ::StartServiceCtrlDispatcherA(table) ? 0 : 1;
}
