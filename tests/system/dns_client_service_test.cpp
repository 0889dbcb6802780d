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

// Polls until `done` holds, ten seconds at most: the service control manager returns before the
// service has got where it was sent.
template <typename Done>
void WaitFor(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
}

// Installs the fake DNS client service, which lies beside the test exe, under the system
// service's name in the test's own prefix, and ends and removes it afterwards.
class DnsClientService : public ::testing::Test {
protected:
    ~DnsClientService() override {
        Remove();
        ::CloseServiceHandle(m_manager);
    }

    // Installs the fake with `options`, in the given state (stopped, running or paused).
    void Install(DWORD state, const std::string& options = "") {
        char path[MAX_PATH] = {};
        const std::string exe(path, ::GetModuleFileNameA(nullptr, path, MAX_PATH));
        const std::string command = "\"" + exe.substr(0, exe.find_last_of('\\') + 1) +
                                    "fake_dns_client_service.exe\" " + options;
        ASSERT_NE(m_manager, nullptr);
        m_service =
            ::CreateServiceA(m_manager, kFakeServiceName, kFakeServiceName, SERVICE_ALL_ACCESS,
                             SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                             command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(m_service, nullptr) << "CreateService error " << ::GetLastError();
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
        WaitFor([&] {
            SC_HANDLE old = ::OpenServiceA(m_manager, kFakeServiceName, SERVICE_QUERY_STATUS);
            ::CloseServiceHandle(old);
            return old == nullptr;
        });
    }

    [[nodiscard]] DWORD State() const {
        SERVICE_STATUS status{};
        return ::QueryServiceStatus(m_service, &status) ? status.dwCurrentState : 0;
    }
    DWORD Settled() const {
        WaitFor([&] {
            const DWORD state = State();
            return state == SERVICE_STOPPED || state == SERVICE_RUNNING || state == SERVICE_PAUSED;
        });
        return State();
    }
    ShowUserMessage Messages() {
        return [this](std::string_view text) { m_messages.emplace_back(text); };
    }

    SC_HANDLE m_manager = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE m_service = nullptr;
    Texts m_messages;
};

// The proxy's start stops a running service and keeps the state it found; its stop starts the
// service again only when it was running then. A stopped or paused one is left alone.
TEST_F(DnsClientService, OnlyARunningServiceIsStoppedAndStartedAgain) {
    for (const DWORD found :
         {DWORD{SERVICE_RUNNING}, DWORD{SERVICE_STOPPED}, DWORD{SERVICE_PAUSED}}) {
        Install(found);
        DWORD state = 0;
        EXPECT_EQ(ControlDnsClientService(false, &state, Messages()), 1);
        EXPECT_EQ(state, found);
        EXPECT_EQ(Settled(), found == SERVICE_RUNNING ? DWORD{SERVICE_STOPPED} : found);
        if (state == SERVICE_RUNNING) {
            EXPECT_EQ(ControlDnsClientService(true, nullptr, Messages()), 1);
        }
        EXPECT_EQ(Settled(), found);
        Remove();
    }
    EXPECT_TRUE(m_messages.empty());

    // Without such a service there is nothing to do.
    DWORD state = 12345;
    EXPECT_EQ(ControlDnsClientService(false, &state, Messages()), 1);
    EXPECT_EQ(ControlDnsClientService(true, &state, Messages()), 1);
    EXPECT_EQ(state, 12345u);
    EXPECT_TRUE(m_messages.empty());
}

TEST_F(DnsClientService, AFailedStopOrStartTellsTheUserToDoItByHand) {
    Install(SERVICE_RUNNING, "--no-stop");
    EXPECT_EQ(ControlDnsClientService(false, nullptr, Messages()), 0);
    EXPECT_EQ(m_messages, Texts{kCannotStopDnsClientMessage});
    EXPECT_EQ(Settled(), DWORD{SERVICE_RUNNING});
    Remove();

    m_messages.clear();
    Install(SERVICE_STOPPED);
    ASSERT_TRUE(::ChangeServiceConfigA(m_service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                       SERVICE_NO_CHANGE, "C:\\no\\such\\service.exe", nullptr,
                                       nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(ControlDnsClientService(true, nullptr, Messages()), 0);
    EXPECT_EQ(m_messages, Texts{kCannotStartDnsClientMessage});
}

}  // namespace
