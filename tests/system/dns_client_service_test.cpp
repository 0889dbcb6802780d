#include "system/dns_client_service.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "fake_dns_client_service.h"

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
        m_command =
            "\"" + exe.substr(0, exe.find_last_of('\\') + 1) + "fake_dns_client_service.exe\" ";
        ASSERT_NE(m_manager, nullptr);
        m_service =
            ::CreateServiceA(m_manager, kFakeServiceName, kFakeServiceName, SERVICE_ALL_ACCESS,
                             SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                             m_command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
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
    // Stops the service whatever it was told at its start.
    void End() {
        SERVICE_STATUS status{};
        if (Settled() != SERVICE_STOPPED) {
            ::ControlService(m_service, kEndControl, &status);
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
    std::string m_command;
    Texts m_messages;
};

// The proxy's start stops a running service and keeps the state it found; its stop starts the
// service again only when it was running then. A stopped or paused one is left alone, and
// without such a service there is nothing to do. A service that takes no stop control (the DNS
// client since Windows 10) is left running without a word; a stop or start refused otherwise
// tells the user to do it by hand.
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

    // A service whose program is gone; then a fake that takes no stop control, and one that
    // takes it and goes on running, whose second stop Wine refuses (it then ends the process
    // but goes on reporting it as running).
    ASSERT_TRUE(::ChangeServiceConfigA(m_service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                       SERVICE_NO_CHANGE, "C:\\no\\such\\service.exe", nullptr,
                                       nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(ControlDnsClientService(true, nullptr, Messages()), 0);
    EXPECT_EQ(m_messages, Texts{kCannotStartDnsClientMessage});
    const struct {
        const char* option;
        int result;
        Texts messages;
    } kRefusals[] = {{"--no-stop", 1, {}}, {"--ignore-stop", 0, {kCannotStopDnsClientMessage}}};
    for (const auto& refusal : kRefusals) {
        m_messages.clear();
        ASSERT_TRUE(::ChangeServiceConfigA(m_service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                           SERVICE_NO_CHANGE, (m_command + refusal.option).c_str(),
                                           nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
        Bring(SERVICE_RUNNING);
        EXPECT_EQ(ControlDnsClientService(false, nullptr, Messages()), 1) << refusal.option;
        EXPECT_EQ(Settled(), DWORD{SERVICE_RUNNING});
        EXPECT_EQ(ControlDnsClientService(false, nullptr, Messages()), refusal.result)
            << refusal.option;
        EXPECT_EQ(m_messages, refusal.messages) << refusal.option;
        End();
    }
}

}  // namespace
