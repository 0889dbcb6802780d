#include "system/dns_client_service.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Texts = std::vector<std::string>;

// The fake DNS client service, which lies beside the test exe, registered under the system
// service's name in the test's own prefix; ended and removed afterwards.
class DnsClientService : public ::testing::Test {
protected:
    ~DnsClientService() override {
        if (m_service != nullptr) {
            End();
            ::DeleteService(m_service);
            ::CloseServiceHandle(m_service);
        }
        ::CloseServiceHandle(m_manager);
    }

    void Install() {
        char path[MAX_PATH] = {};
        const std::string exe(path, ::GetModuleFileNameA(nullptr, path, MAX_PATH));
        const std::string command =
            "\"" + exe.substr(0, exe.find_last_of('\\') + 1) + "fake_dns_client_service.exe\"";
        ASSERT_NE(m_manager, nullptr);
        m_service = ::CreateServiceA(m_manager, kDnsClientServiceName, kDnsClientServiceName,
                                     SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                     SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, command.c_str(),
                                     nullptr, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(m_service, nullptr) << "CreateService error " << ::GetLastError();
    }
    // Brings the installed, stopped service into `state` (stopped, running or paused).
    void Bring(DWORD state) {
        SERVICE_STATUS status{};
        if (state != SERVICE_STOPPED) {
            ASSERT_TRUE(::StartServiceA(m_service, 0, nullptr)) << ::GetLastError();
            ASSERT_EQ(Settled(), DWORD{SERVICE_RUNNING});
        }
        if (state == SERVICE_PAUSED) {
            ASSERT_TRUE(::ControlService(m_service, SERVICE_CONTROL_PAUSE, &status));
            ASSERT_EQ(Settled(), DWORD{SERVICE_PAUSED});
        }
    }
    void End() {
        SERVICE_STATUS status{};
        if (Settled() != SERVICE_STOPPED) {
            ::ControlService(m_service, SERVICE_CONTROL_STOP, &status);
            Settled();
        }
    }
    // The state once the service has got where it was sent (ten seconds at most): the service
    // control manager returns before that.
    DWORD Settled() const {
        SERVICE_STATUS status{};
        for (auto deadline = std::chrono::steady_clock::now() + 10s;
             std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(20ms)) {
            if (!::QueryServiceStatus(m_service, &status) ||
                status.dwCurrentState == SERVICE_STOPPED ||
                status.dwCurrentState == SERVICE_RUNNING ||
                status.dwCurrentState == SERVICE_PAUSED) {
                break;
            }
        }
        return status.dwCurrentState;
    }
    ShowUserMessage Messages() {
        return [this](std::string_view text) { m_messages.emplace_back(text); };
    }

    SC_HANDLE m_manager = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE m_service = nullptr;
    Texts m_messages;
};

// The proxy's start keeps the state it found, its stop starts the service only when it was
// running then; no such service is nothing to do. (Refused stops: the desktop end-to-end test.)
TEST_F(DnsClientService, OnlyARunningServiceIsStoppedAndStartedAgainAndFailuresAreTold) {
    DWORD state = 12345;
    EXPECT_EQ(ControlDnsClientService(false, &state, Messages()), 1);
    EXPECT_EQ(ControlDnsClientService(true, &state, Messages()), 1);
    EXPECT_EQ(state, 12345u);

    Install();
    for (const DWORD found :
         {DWORD{SERVICE_RUNNING}, DWORD{SERVICE_STOPPED}, DWORD{SERVICE_PAUSED}}) {
        Bring(found);
        EXPECT_EQ(ControlDnsClientService(false, &state, Messages()), 1);
        EXPECT_EQ(state, found);
        EXPECT_EQ(Settled(), found == SERVICE_RUNNING ? DWORD{SERVICE_STOPPED} : found);
        if (state == SERVICE_RUNNING) {
            EXPECT_EQ(ControlDnsClientService(true, nullptr, Messages()), 1);
        }
        EXPECT_EQ(Settled(), found);
        End();
    }
    EXPECT_TRUE(m_messages.empty());

    ASSERT_TRUE(::ChangeServiceConfigA(m_service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                       SERVICE_NO_CHANGE, "C:\\no\\such\\service.exe", nullptr,
                                       nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(ControlDnsClientService(true, nullptr, Messages()), 0);
    EXPECT_EQ(m_messages, Texts{kCannotStartDnsClientMessage});
}

}  // namespace
