#include "daemon/daemon_options.h"

#include <algorithm>
#include <charconv>
#include <string_view>
#include <utility>

#include "core/upstream_settings.h"

namespace {

// A number from 1 to `largest`, the whole text being digits.
std::optional<unsigned> ParseCount(std::string_view text, unsigned largest) {
    unsigned value = 0;
    const auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (status != std::errc() || end != text.data() + text.size() || value == 0 ||
        value > largest) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::optional<DaemonOptions> ParseDaemonOptions(const std::vector<std::string>& arguments,
                                                std::span<const CSocketAddress> machine,
                                                std::string& error) {
    DaemonOptions options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& option = arguments[i];
        if (option == "--allow-any-client") {
            options.Clients = ClientScope::kAnyone;
            continue;
        }
        if (option == "--allow-local-network") {
            options.Clients = std::max(options.Clients, ClientScope::kLocalNetwork);
            continue;
        }
        if (option != "--listen" && option != "--upstream" && option != "--cache" &&
            option != "--save-seconds") {
            error = "unknown argument: " + option;
            return std::nullopt;
        }
        if (i + 1 == arguments.size()) {
            error = option + " needs a value";
            return std::nullopt;
        }
        const std::string& value = arguments[++i];
        if (option == "--listen") {
            const std::optional<unsigned> port = ParseCount(value, 65535);
            if (!port) {
                error = "not a port from 1 to 65535: " + value;
                return std::nullopt;
            }
            options.ListenPort = static_cast<std::uint16_t>(*port);
        } else if (option == "--save-seconds") {
            const std::optional<unsigned> seconds = ParseCount(value, kMaxSaveSeconds);
            if (!seconds) {
                error = "not a number of seconds from 1 to 86400: " + value;
                return std::nullopt;
            }
            options.SaveSeconds = *seconds;
        } else if (option == "--upstream") {
            options.Upstreams.push_back(value);
        } else if (value.empty()) {
            error = "--cache needs a file name";
            return std::nullopt;
        } else {
            options.CacheFile = value;
        }
    }
    // Judged once the port is known, which may come after them: the proxy's own port loops.
    for (const std::string& upstream : options.Upstreams) {
        if (std::optional<std::string> why =
                UpstreamServerError(upstream, machine, options.ListenPort)) {
            error = "not an upstream server (" + *why + "): " + upstream;
            return std::nullopt;
        }
    }
    if (options.Upstreams.empty()) {
        options.Upstreams.emplace_back(kFallbackDnsServer);
    }
    return options;
}
