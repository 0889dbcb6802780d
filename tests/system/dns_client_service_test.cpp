#include "system/dns_client_service.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fake_dns_client_service.h"

namespace {

using namespace std::chrono_literals;

// The service's state after the proxy's start and after its stop.
using States = std::pair<DWORD, DWORD>;

// The fake lies beside the test exe.
std::string FakeServicePath() {
    char path[MAX_PATH] = {};
    std::string exe(path, ::GetModuleFileNameA(nullptr, path, MAX_PATH));
    return exe.substr(0, exe.find_last_of('\\') + 1) + "fake_dns_client_service.exe";
}

// Installs the fake DNS client service of this folder under the system service's name in the
// test's own prefix, and ends and removes it afterwards.
class DnsClientService : public ::testing::Test {
protected:
    DnsClientService() : m_manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)) {}
    ~DnsClientService() override {
        Remove();
        ::CloseServiceHandle(m_manager);
    }

    void Install(const std::string& options = "") {
        ASSERT_NE(m_manager, nullptr);
        const std::string command = "\"" + FakeServicePath() + "\" " + options;
        m_service =
            ::CreateServiceA(m_manager, kFakeServiceName, kFakeServiceName, SERVICE_ALL_ACCESS,
                             SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                             command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(m_service, nullptr) << "CreateService error " << ::GetLastError();
    }
    void InstallRunning(const std::string& options = "") {
        Install(options);
        ASSERT_TRUE(::StartServiceA(m_service, 0, nullptr)) << ::GetLastError();
        ASSERT_EQ(Settled(), DWORD{SERVICE_RUNNING});
    }
    void Remove() {
        if (m_service == nullptr) {
            return;
        }
        SERVICE_STATUS status{};
        if (State() != SERVICE_STOPPED) {
            ::ControlService(m_service, kEndControl, &status);
            Settled();
        }
        ::DeleteService(m_service);
        ::CloseServiceHandle(m_service);
        m_service = nullptr;
        // The name is free only once the service's process has ended, a moment after it
        // reported that it stopped.
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (SC_HANDLE old = ::OpenServiceA(m_manager, kFakeServiceName, SERVICE_QUERY_STATUS)) {
            ::CloseServiceHandle(old);
            if (std::chrono::steady_clock::now() > deadline) {
                break;
            }
            std::this_thread::sleep_for(20ms);
        }
    }

public:
    [[nodiscard]] DWORD State() const {
        SERVICE_STATUS status{};
        return ::QueryServiceStatus(m_service, &status) ? status.dwCurrentState : 0;
    }
    // The state once the service has got there: the service control manager returns before.
    DWORD Settled() const {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        DWORD state = State();
        for (; IsPending(state) && std::chrono::steady_clock::now() < deadline; state = State()) {
            std::this_thread::sleep_for(20ms);
        }
        return state;
    }
    static bool IsPending(DWORD state) {
        return state != SERVICE_STOPPED && state != SERVICE_RUNNING && state != SERVICE_PAUSED;
    }

protected:
    // The messages that would go to the user.
    ShowUserMessage Messages() {
        return [this](std::string_view text) { m_messages.emplace_back(text); };
    }

    SC_HANDLE m_manager;
    SC_HANDLE m_service = nullptr;
    std::vector<std::string> m_messages;
};

// What the proxy does with the service: stop it at the proxy's start, keeping the state found,
// and start it at the proxy's stop only when it was running then.
States ProxyStartAndStop(const DnsClientService& test, const ShowUserMessage& messages) {
    DWORD found = 0;
    EXPECT_EQ(ControlDnsClientService(false, &found, messages), 1);
    const DWORD atStart = test.Settled();
    if (found == SERVICE_RUNNING) {
        EXPECT_EQ(ControlDnsClientService(true, nullptr, messages), 1);
    }
    return {atStart, test.Settled()};
}

TEST_F(DnsClientService, RunningAtStartIsStoppedAndStartedAgainAtStop) {
    InstallRunning();
    EXPECT_EQ(ProxyStartAndStop(*this, Messages()), States(SERVICE_STOPPED, SERVICE_RUNNING));
    EXPECT_TRUE(m_messages.empty());
}

TEST_F(DnsClientService, StoppedOrPausedAtStartIsLeftAsItWas) {
    Install();
    EXPECT_EQ(ProxyStartAndStop(*this, Messages()), States(SERVICE_STOPPED, SERVICE_STOPPED));
    Remove();

    InstallRunning();
    SERVICE_STATUS status{};
    ASSERT_TRUE(::ControlService(m_service, SERVICE_CONTROL_PAUSE, &status)) << ::GetLastError();
    ASSERT_EQ(Settled(), DWORD{SERVICE_PAUSED});
    EXPECT_EQ(ProxyStartAndStop(*this, Messages()), States(SERVICE_PAUSED, SERVICE_PAUSED));
    EXPECT_TRUE(m_messages.empty());
}

TEST_F(DnsClientService, NoSuchServiceIsNothingToDo) {
    DWORD state = 12345;
    EXPECT_EQ(ControlDnsClientService(false, &state, Messages()), 1);
    EXPECT_EQ(ControlDnsClientService(true, &state, Messages()), 1);
    EXPECT_EQ(state, 12345u);
    EXPECT_TRUE(m_messages.empty());
}

TEST_F(DnsClientService, AFailedStopOrStartTellsTheUserToDoItByHand) {
    InstallRunning("--no-stop");
    EXPECT_EQ(ControlDnsClientService(false, nullptr, Messages()), 0);
    EXPECT_EQ(m_messages, std::vector<std::string>{kCannotStopDnsClientMessage});
    EXPECT_EQ(Settled(), DWORD{SERVICE_RUNNING});
    Remove();

    m_messages.clear();
    Install();
    ASSERT_TRUE(::ChangeServiceConfigA(m_service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                       SERVICE_NO_CHANGE, "C:\\no\\such\\service.exe", nullptr,
                                       nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(ControlDnsClientService(true, nullptr, Messages()), 0);
    EXPECT_EQ(m_messages, std::vector<std::string>{kCannotStartDnsClientMessage});
}

}  // namespace
