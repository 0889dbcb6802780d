// The installer's and the uninstaller's hands inside the system, run hidden with its output in
// their log:
//     QuillforthSetupHelper close [SECONDS]   asks every running Quillforth to exit and waits for
//                                             it (30 s unless told); exit code 1 when one still
//                                             runs after that, at once when it runs in another
//                                             user's session, where it cannot be asked
//     QuillforthSetupHelper remove-tasks      deletes every user's logon task of "Start at
//                                             login" (and the shared one of older versions)
//     QuillforthSetupHelper restore           puts back the IPv4 and IPv6 DNS servers of the
//                                             adapters that a copy which did not stop cleanly
//                                             left pointing at the proxy, starts the DNS Client
//                                             service that it left stopped and makes Windows
//                                             take the servers at once (ipconfig)
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "installer/crash_restore.h"
#include "installer/running_copy.h"
#include "system/dns_client_refresh.h"
#include "system/dns_client_service.h"
#include "system/logon_task.h"

namespace {

constexpr std::chrono::seconds kDefaultCloseTimeout{30};
constexpr int kUsageError = 64;

int Close(std::chrono::seconds timeout) {
    const CloseOutcome outcome = CloseRunningCopies(timeout);
    if (outcome.otherSession) {
        std::puts("Quillforth is running in another user's session: it must exit there first.");
        return 1;
    }
    if (!outcome.ended) {
        std::puts("Quillforth is still running.");
        return 1;
    }
    if (outcome.asked > 0) {
        std::puts("Quillforth was running and has exited.");
    }
    return 0;
}

// An upgrade keeps them: each points at the program's path, which stays.
int RemoveTasks() {
    if (!DeleteEveryLogonTask()) {
        std::puts("Could not delete every logon task of \"Start at login\".");
        return 1;
    }
    return 0;
}

void StartDnsClient() {
    DWORD found = 0;
    auto print = [](std::string_view text) {
        std::printf("%.*s\n", static_cast<int>(text.size()), text.data());
    };
    const int result = ControlDnsClientService(true, &found, print);
    if (result == 1 && (found == SERVICE_STOPPED || found == SERVICE_PAUSED)) {
        std::puts("Started the DNS Client service again.");
    }
}

void PrintRestored(const RestoredAdapter& adapter) {
    auto shown = [](const std::string& servers) {
        return servers.empty() ? "automatic" : servers.c_str();
    };
    if (!adapter.m_putBack) {
        std::printf(
            "Adapter %s points at the proxy's address and no record tells what it had: "
            "left as it is.\n",
            adapter.m_name.c_str());
        return;
    }
    std::printf("Put back the DNS servers of adapter %s: %s", adapter.m_name.c_str(),
                shown(adapter.m_servers));
    if (adapter.m_servers6) {
        std::printf(", IPv6 %s", shown(*adapter.m_servers6));
    }
    std::puts("");
}

int Restore() {
    const std::vector<RestoredAdapter> restored = RestoreAdaptersLeftAtProxy(IpHelperApi::System());
    std::ranges::for_each(restored, PrintRestored);
    if (std::ranges::none_of(restored, &RestoredAdapter::m_putBack)) {
        std::puts("No adapter to put back.");
        return 0;
    }
    // The copy that left the adapters behind left the DNS Client service stopped too.
    StartDnsClient();
    const std::string failure = RefreshDnsClient();
    std::puts(failure.empty() ? "Windows uses the adapters' DNS servers again." : failure.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && argc <= 3 && std::strcmp(argv[1], "close") == 0) {
        const int seconds =
            argc == 3 ? std::atoi(argv[2]) : static_cast<int>(kDefaultCloseTimeout.count());
        return Close(std::chrono::seconds(seconds));
    }
    if (argc == 2 && std::strcmp(argv[1], "restore") == 0) {
        return Restore();
    }
    if (argc == 2 && std::strcmp(argv[1], "remove-tasks") == 0) {
        return RemoveTasks();
    }
    std::fputs("usage: QuillforthSetupHelper close [SECONDS] | restore | remove-tasks\n", stderr);
    return kUsageError;
}
