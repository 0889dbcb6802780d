// quillforthd: the proxy and its cache without a window. It loads the cache file, serves until
// it is told to stop, saving the cache file by itself while it changes (as the program does),
// saves it once more and prints the statistics.
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "cache/cache_file.h"
#include "cache/cache_saver.h"
#include "core/dns_socket.h"
#include "core/statistics_text.h"
#include "daemon/daemon_options.h"
#include "daemon/platform.h"
#include "net/attached_networks.h"

namespace {

// Hands the proxy's changes to the saver, which takes each batch when it saves (so that the next
// change is told again), and shows why the proxy cannot serve.
class DaemonObserver : public IDnsProxyObserver {
public:
    // Before the proxy runs; the proxy is stopped before the saver goes.
    void SetSaver(CCacheSaver* saver) { m_saver = saver; }

    void OnCacheChanged() override {
        if (m_saver != nullptr) {
            m_saver->MarkChanged();
        }
    }
    void OnServerError(const std::string& message) override { std::fputs(message.c_str(), stderr); }

private:
    CCacheSaver* m_saver = nullptr;
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
    // A missing cache file is an empty cache, as at the program's first start. One that is there
    // but cannot be read would be written over by the first save with what it lacks.
    if (LoadFromFile(cache, options->CacheFile, started) == CacheLoad::kUnreadable) {
        std::fprintf(stderr,
                     "quillforthd: cannot read the cache file %s (no access to it, a folder of "
                     "that name, UTF-16 text), so it is left as it is: make it readable, or name "
                     "another with --cache\n",
                     options->CacheFile.c_str());
        return 2;
    }
    CUpstreamSettings upstream;
    upstream.SetServers(options->Upstreams);

    DaemonObserver observer;
    CDnsSocket proxy(&cache, upstream, &observer, {.Clients = options->Clients});
    CCacheSaver saver(cache, options->CacheFile, std::chrono::seconds(options->SaveSeconds),
                      nullptr, [&proxy] { (void)proxy.TakeChanges(); });
    observer.SetSaver(&saver);
    if (!proxy.RunDnsServer(options->ListenPort)) {
        return 1;
    }
    WaitForStopSignal();
    proxy.StopDnsServer();
    // The saver ends first, so that the last save holds every change.
    saver.Stop();

    const bool saved = SaveToFile(cache, options->CacheFile);
    if (!saved) {
        std::fprintf(stderr, "quillforthd: cannot save the cache to %s\n",
                     options->CacheFile.c_str());
    }
    PrintStatistics(cache, proxy, upstream, std::time(nullptr) - started);
    return saved ? 0 : 1;
}
