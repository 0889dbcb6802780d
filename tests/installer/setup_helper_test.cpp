#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/quillforth_app.h"
#include "installer/crash_restore.h"
#include "installer/running_copy.h"
#include "system/system_dns.h"
#include "tests/system/fake_ip_helper.h"

namespace {

using namespace std::chrono_literals;

// ---- Putting back what a copy that did not stop left behind ----

const std::string kUntouched = "{0E5D1A7C-0000-4000-8000-00000000000A}";
const std::string kRecorded = "{0E5D1A7C-0000-4000-8000-00000000000B}";
const std::string kMerelyListsProxy = "{0E5D1A7C-0000-4000-8000-00000000000C}";
const std::string kUnrecorded = "{0E5D1A7C-0000-4000-8000-00000000000D}";
const std::string kWithoutKey = "{0E5D1A7C-0000-4000-8000-00000000000E}";

std::string InterfaceKey(const std::string& adapter) {
    return std::string(kInterfacesKey) + "\\" + adapter;
}

// The adapter's "NameServer", or "<none>" when it has none.
std::string NameServer(const std::string& adapter) {
    char text[512] = {};
    DWORD size = sizeof text;
    return ::RegGetValueA(HKEY_LOCAL_MACHINE, InterfaceKey(adapter).c_str(), kNameServerValue,
                          RRF_RT_REG_SZ, nullptr, text, &size) == ERROR_SUCCESS
               ? text
               : "<none>";
}

void SetText(HKEY root, const std::string& key, const std::string& name, const std::string& text) {
    ASSERT_EQ(::RegSetKeyValueA(root, key.c_str(), name.c_str(), REG_SZ, text.c_str(),
                                static_cast<DWORD>(text.size() + 1)),
              ERROR_SUCCESS);
}

using NamesAndServers = std::vector<std::pair<std::string, std::string>>;

NamesAndServers Restored(const IpHelperApi& system) {
    NamesAndServers restored;
    for (const RestoredAdapter& adapter : RestoreAdaptersLeftAtProxy(system)) {
        restored.emplace_back(adapter.name, adapter.servers);
    }
    return restored;
}

// Adapters as a copy that was ended by force leaves them, with a first-run record of their
// servers from before it ever ran. Each test exe has a Wine prefix of its own.
class CrashRestore : public ::testing::Test {
protected:
    void SetUp() override {
        ::RegDeleteTreeA(HKEY_CURRENT_USER, kDnsServersKey);
        SetText(HKEY_CURRENT_USER, kDnsServersKey, kFirstRunValue, "0");
        for (const std::string& adapter :
             {kUntouched, kRecorded, kMerelyListsProxy, kUnrecorded, kWithoutKey}) {
            ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, InterfaceKey(adapter).c_str());
        }
    }
    void Adapter(const std::string& name, const std::string& nameServer,
                 const std::string& record) {
        const auto index = static_cast<uint32_t>(system.adapters.size() + 1);
        system.adapters.push_back({name, index, {nameServer}});
        SetText(HKEY_LOCAL_MACHINE, InterfaceKey(name), kNameServerValue, nameServer);
        if (!record.empty()) {
            SetText(HKEY_CURRENT_USER, kDnsServersKey, name, record);
        }
    }

    FakeIpHelper system;
};

TEST_F(CrashRestore, OnlyAdaptersLeftAtTheProxyGetTheirRecordedServersBack) {
    // The first adapter is kept out of the list that the restore sees, so that the list must
    // start further on.
    Adapter(kUntouched, "192.0.2.9", "192.0.2.7");
    Adapter(kRecorded, "127.0.0.1", "192.0.2.1,192.0.2.2");
    Adapter(kMerelyListsProxy, "127.0.0.1,192.0.2.3", "192.0.2.4");
    Adapter(kUnrecorded, "127.0.0.1", "");
    system.adapters.push_back({kWithoutKey, 9, {"127.0.0.1"}});

    EXPECT_EQ(Restored(system.Api()),
              (NamesAndServers{{kRecorded, "192.0.2.1,192.0.2.2"}, {kUnrecorded, ""}}));
    EXPECT_EQ(NameServer(kRecorded), "192.0.2.1,192.0.2.2");
    // Without a record the adapter is left to the servers that DHCP gives it.
    EXPECT_EQ(NameServer(kUnrecorded), "");
    EXPECT_EQ(NameServer(kUntouched), "192.0.2.9");
    EXPECT_EQ(NameServer(kMerelyListsProxy), "127.0.0.1,192.0.2.3");
    EXPECT_EQ(NameServer(kWithoutKey), "<none>");
}

// ---- Asking running copies to exit ----

// The fake lies beside the test exe.
std::string FakeCopyPath() {
    char path[MAX_PATH] = {};
    std::string exe(path, ::GetModuleFileNameA(nullptr, path, MAX_PATH));
    return exe.substr(0, exe.find_last_of('\\') + 1) + "fake_running_copy.exe";
}

bool MutexExists() {
    HANDLE mutex = ::OpenMutexA(SYNCHRONIZE, FALSE, kSingleInstanceMutex);
    if (mutex != nullptr) {
        ::CloseHandle(mutex);
    }
    return mutex != nullptr;
}

// One fake copy of the program, ended by force when the test is done with it.
class FakeCopy {
public:
    explicit FakeCopy(const std::string& arguments) {
        std::string command = "\"" + FakeCopyPath() + "\" " + arguments;
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        if (::CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &startup, &m_process)) {
            ::CloseHandle(m_process.hThread);
        }
    }
    FakeCopy(const FakeCopy&) = delete;
    FakeCopy& operator=(const FakeCopy&) = delete;
    ~FakeCopy() {
        if (m_process.hProcess != nullptr) {
            ::TerminateProcess(m_process.hProcess, 9);
            ::WaitForSingleObject(m_process.hProcess, 5000);
            ::CloseHandle(m_process.hProcess);
        }
    }

    // Until the condition holds, 10 s at most.
    template <typename Condition>
    static bool WaitUntil(Condition condition) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }
    static bool WaitForWindow(const char* caption) {
        return WaitUntil([caption] { return ::FindWindowA("#32770", caption) != nullptr; });
    }

    // Its exit code if it has ended, or STILL_ACTIVE while it runs.
    [[nodiscard]] DWORD ExitCode() const {
        DWORD code = 0;
        ::GetExitCodeProcess(m_process.hProcess, &code);
        return code;
    }

private:
    PROCESS_INFORMATION m_process{};
};

using Clock = std::chrono::steady_clock;

TEST(CloseRunningCopies, AnOlderCopyIsAskedAndWaitedFor) {
    FakeCopy copy("\"Quillforth v1.79\"");
    ASSERT_TRUE(FakeCopy::WaitForWindow("Quillforth v1.79"));
    const CloseOutcome outcome = CloseRunningCopies(10s);
    EXPECT_TRUE(outcome.ended);
    EXPECT_EQ(outcome.asked, 1);
    // It ended through the Exit command, not by force or by its own time limit.
    EXPECT_EQ(copy.ExitCode(), 0u);
}

TEST(CloseRunningCopies, ACopyStillStartingIsAskedOnceItsWindowShows) {
    FakeCopy copy("\"Quillforth v1.80\" --window-after-ms 700");
    ASSERT_TRUE(FakeCopy::WaitUntil(MutexExists));
    const CloseOutcome outcome = CloseRunningCopies(10s);
    EXPECT_TRUE(outcome.ended);
    EXPECT_EQ(outcome.asked, 1);
    EXPECT_EQ(copy.ExitCode(), 0u);
}

TEST(CloseRunningCopies, ACopyThatDoesNotExitIsReportedAfterTheWait) {
    FakeCopy copy("\"Quillforth v1.80\" --ignore-exit");
    ASSERT_TRUE(FakeCopy::WaitForWindow("Quillforth v1.80"));
    const auto start = Clock::now();
    const CloseOutcome outcome = CloseRunningCopies(1s);
    EXPECT_FALSE(outcome.ended);
    EXPECT_EQ(outcome.asked, 1);
    EXPECT_GE(Clock::now() - start, 1s);
    EXPECT_EQ(copy.ExitCode(), DWORD{STILL_ACTIVE});
}

// The helper runs while the installer's own window shows.
TEST(CloseRunningCopies, TheInstallersWindowIsNotAProgramToClose) {
    FakeCopy installer("\"Quillforth 1.80 (64-bit) Setup\" --no-mutex");
    ASSERT_TRUE(FakeCopy::WaitForWindow("Quillforth 1.80 (64-bit) Setup"));
    const CloseOutcome outcome = CloseRunningCopies(5s);
    EXPECT_TRUE(outcome.ended);
    EXPECT_EQ(outcome.asked, 0);
    EXPECT_EQ(installer.ExitCode(), DWORD{STILL_ACTIVE});
}

}  // namespace
