// quillforthd: the proxy and its cache without a window. It loads the cache file, serves until
// it is told to stop, saves the cache file and prints the statistics.
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "cache/cache_file.h"
#include "core/dns_socket.h"
#include "core/statistics_text.h"
#include "daemon/daemon_options.h"
#include "daemon/platform.h"
#include "net/attached_networks.h"

namespace {

// Shows why the proxy cannot serve; the daemon has no list to keep current.
class ErrorPrinter : public IDnsProxyObserver {
public:
    void OnCacheChanged() override {}
    void OnServerError(const std::string& message) override { std::fputs(message.c_str(), stderr); }
};

void PrintStatistics(const CDnsItemMap& cache, const CDnsSocket& proxy,
                     const CUpstreamSettings& upstream, std::int64_t runSeconds) {
    std::vector<StatisticsLine> lines{
        {"Cached DNS item", std::to_string(cache.GetCount())},
        {"Total run time", FormatRunTime(runSeconds)},
        {"Current DNS server", upstream.CurrentDnsServer()},
    };
    for (StatisticsLine& line : RequestStatisticsLines(proxy.Statistics().Snapshot())) {
        lines.push_back(std::move(line));
    }
    for (const auto& server : *upstream.Target().Servers) {
        lines.push_back(UpstreamServerLine(server->Figures()));
    }
    for (const auto& [label, value] : lines) {
        std::printf("%-42s %s\n", label.c_str(), value.c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    const std::optional<DaemonOptions> options =
        ParseDaemonOptions(DaemonArguments(argc, argv), MachineAddresses(), error);
    if (!options) {
        std::fprintf(stderr, "quillforthd: %s\n%s", error.c_str(), kDaemonUsage);
        return 2;
    }
    if (!PrepareDaemonProcess()) {
        std::fputs("quillforthd: cannot prepare the process for sockets and signals\n", stderr);
        return 1;
    }

    const std::time_t started = std::time(nullptr);
    CDnsItemMap cache;
    // A missing cache file is an empty cache, as at the program's first start.
    LoadFromFile(cache, options->CacheFile, started);
    CUpstreamSettings upstream;
    upstream.SetServers(options->Upstreams);

    ErrorPrinter observer;
    CDnsSocket proxy(&cache, upstream, &observer, {.AllowAnyClient = options->AllowAnyClient});
    if (!proxy.RunDnsServer(options->ListenPort)) {
        return 1;
    }
    WaitForStopSignal();
    proxy.StopDnsServer();

    const bool saved = SaveToFile(cache, options->CacheFile);
    if (!saved) {
        std::fprintf(stderr, "quillforthd: cannot save the cache to %s\n",
                     options->CacheFile.c_str());
    }
    PrintStatistics(cache, proxy, upstream, std::time(nullptr) - started);
    return saved ? 0 : 1;
}
