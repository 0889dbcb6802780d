#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "installer/crash_restore.h"
#include "installer/running_copy.h"
#include "res/program_names.h"
#include "tests/system/fake_ip_helper.h"
#include "tests/system/registry_values.h"

namespace {

using namespace std::chrono_literals;

// A copy crashed during its takeover of the dual-stack machine, to which two adapters came later:
// the first names the proxy only among others and stays, so the list that the restore sees must
// start further on; the second points its IPv6 DNS at the proxy without a record and stays too.
// The others get the static values of the machine's record back.
TEST(CrashRestore, AdaptersLeftAtTheProxyGetTheStaticValuesOfTheRecordBack) {
    std::vector<qftest::TestAdapter> machine{
        {"{elsewhere}", {"127.0.0.1"}, "127.0.0.1,192.0.2.3", "fd00::3"},
        {"{ipv6 at proxy}", {"192.0.2.9"}, "192.0.2.9", qftest::kAtProxy6}};
    machine.insert(machine.end(), qftest::kDualStack.begin(), qftest::kDualStack.end());
    FakeIpHelper system, crashedCopy;
    qftest::SetUpAdapters(system, machine);
    qftest::SetUpAdapters(crashedCopy, qftest::kDualStack);
    const std::vector<std::string> expected = qftest::StaticValues(machine);
    qftest::RunAndCrash(crashedCopy);
    // Unplugged since, an adapter is not listed by the system; it is put back all the same.
    std::erase_if(system.adapters, [](const auto& adapter) { return adapter.name == "{dhcp}"; });

    EXPECT_EQ(
        RestoreAdaptersLeftAtProxy(system.Api()),
        (std::vector<RestoredAdapter>{{"{ipv6 at proxy}", false, "192.0.2.9", "::1"},
                                      {"{static}", true, "10.0.0.1 10.0.0.2", "fd00::1,fd00::2"},
                                      {"{no ipv6}", true, "10.0.0.3", std::nullopt},
                                      {"{dhcp}", true, "", ""}}));
    EXPECT_EQ(qftest::StaticValues(machine), expected);
}

// A wait that the tests do not measure: it ends as soon as its condition holds, and its limit is
// far above what a loaded machine takes (Wine starting a process while other tests share the
// processors and the display), so that only a condition that never comes fails.
constexpr auto kPatience = 30s;

// Until the condition holds, kPatience at most.
template <typename Condition>
bool WaitUntil(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!condition() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    return condition();
}

bool MachineMutexShows() {
    return WaitUntil([] {
        HANDLE mutex = ::OpenMutexA(SYNCHRONIZE, FALSE, kMachineInstanceMutex);
        ::CloseHandle(mutex);
        return mutex != nullptr;
    });
}

bool WindowShows(const char* caption) {
    return WaitUntil([caption] { return ::FindWindowA("#32770", caption) != nullptr; });
}

// One fake running copy of the program (it lies beside the test exe), ended by force when the
// test is done with it.
class FakeCopy {
public:
    explicit FakeCopy(const std::string& arguments) {
        char path[MAX_PATH] = {};
        const std::string exe(path, ::GetModuleFileNameA(nullptr, path, MAX_PATH));
        std::string command = "\"" + exe.substr(0, exe.find_last_of('\\') + 1) +
                              "fake_running_copy.exe\" " + arguments;
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        if (!::CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                              &startup, &m_process)) {
            ADD_FAILURE() << command << " did not start: error " << ::GetLastError();
        }
        ::CloseHandle(m_process.hThread);
    }
    FakeCopy(const FakeCopy&) = delete;
    FakeCopy& operator=(const FakeCopy&) = delete;
    ~FakeCopy() {
        ::TerminateProcess(m_process.hProcess, 9);
        ::WaitForSingleObject(m_process.hProcess, 5000);
        ::CloseHandle(m_process.hProcess);
    }
    // Its exit code, or STILL_ACTIVE while it runs.
    [[nodiscard]] DWORD ExitCode() const {
        DWORD code = 0;
        ::GetExitCodeProcess(m_process.hProcess, &code);
        return code;
    }

private:
    PROCESS_INFORMATION m_process{};
};

// Still starting: its mutex exists, its window not yet. It ends through the Exit command.
TEST(CloseRunningCopies, AnOlderCopyStillStartingIsAskedOnceItsWindowShowsAndWaitedFor) {
    FakeCopy copy("\"Quillforth v1.79\" --window-after-ms 700");
    ASSERT_TRUE(MachineMutexShows());
    const CloseOutcome outcome = CloseRunningCopies(kPatience);
    EXPECT_TRUE(outcome.ended);
    EXPECT_EQ(outcome.asked, 1);
    EXPECT_EQ(copy.ExitCode(), 0u) << "not by force or by its own time limit";
}

// A copy of another user's session cannot be asked: the helper says so at once.
TEST(CloseRunningCopies, ACopyOfAnotherSessionEndsTheWaitAtOnce) {
    FakeCopy copy("Elsewhere --other-session");
    ASSERT_TRUE(MachineMutexShows());
    const auto start = std::chrono::steady_clock::now();
    const CloseOutcome outcome = CloseRunningCopies(kPatience);
    EXPECT_LT(std::chrono::steady_clock::now() - start, kPatience / 3) << "not at once";
    EXPECT_TRUE(outcome.otherSession);
    EXPECT_FALSE(outcome.ended);
    EXPECT_EQ(copy.ExitCode(), DWORD{STILL_ACTIVE});
}

// The installer's own window shows while the helper runs.
TEST(CloseRunningCopies, ACopyThatDoesNotExitIsReportedAndTheInstallerIsLeftAlone) {
    FakeCopy installer("\"Quillforth 1.80 (64-bit) Setup\" --no-mutex");
    FakeCopy copy("\"Quillforth v1.80\" --ignore-exit");
    ASSERT_TRUE(WindowShows("Quillforth 1.80 (64-bit) Setup"));
    ASSERT_TRUE(WindowShows("Quillforth v1.80"));
    const auto start = std::chrono::steady_clock::now();
    const CloseOutcome outcome = CloseRunningCopies(1s);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_FALSE(outcome.ended);
    EXPECT_EQ(outcome.asked, 1);
    EXPECT_EQ(copy.ExitCode(), DWORD{STILL_ACTIVE});
    EXPECT_EQ(installer.ExitCode(), DWORD{STILL_ACTIVE});
}

}  // namespace
