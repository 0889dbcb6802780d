#include "daemon/daemon_options.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "core/upstream_settings.h"

namespace {

using Arguments = std::vector<std::string>;

// The machine's own address in these tests.
const CSocketAddress kMachine[] = {*CSocketAddress::FromText("198.18.0.1", 0)};

auto Fields(const DaemonOptions& options) {
    return std::tie(options.ListenPort, options.Upstreams, options.CacheFile, options.Clients,
                    options.SaveSeconds);
}

TEST(DaemonOptions, ReadsEveryOptionAndDefaultsTheRest) {
    const std::pair<Arguments, DaemonOptions> cases[] = {
        {{}, {53, {std::string(kFallbackDnsServer)}, "DnsItem.csv", ClientScope::kMachine, 300}},
        {{"--listen", "5353", "--upstream", "198.18.0.2:5300", "--upstream", "[2001:db8::1]:5353",
          "--upstream", "127.0.0.1:5300", "--upstream", "https://dns.example/q (192.0.2.1)",
          "--cache", "/tmp/c.csv", "--allow-any-client", "--save-seconds", "86400"},
         {5353,
          {"198.18.0.2:5300", "[2001:db8::1]:5353", "127.0.0.1:5300",
           "https://dns.example/q (192.0.2.1)"},
          "/tmp/c.csv",
          ClientScope::kAnyone,
          86400}},
        {{"--allow-local-network"},
         {53, {std::string(kFallbackDnsServer)}, "DnsItem.csv", ClientScope::kLocalNetwork, 300}},
        // Either order: the wider scope holds.
        {{"--allow-any-client", "--allow-local-network"},
         {53, {std::string(kFallbackDnsServer)}, "DnsItem.csv", ClientScope::kAnyone, 300}},
    };
    for (const auto& [arguments, expected] : cases) {
        std::string error;
        const std::optional<DaemonOptions> options = ParseDaemonOptions(arguments, kMachine, error);
        ASSERT_TRUE(options) << error;
        EXPECT_EQ(Fields(*options), Fields(expected)) << ::testing::PrintToString(arguments);
    }
}

TEST(DaemonOptions, RejectsWhatItCannotUseAndSaysWhy) {
    // clang-format off
    const Arguments refused[] = {
        {"--listen"}, {"--listen", "0"}, {"--listen", "65536"}, {"--listen", "53x"},
        {"--listen", "-1"}, {"--upstream", "dns.example"}, {"--upstream", ":53"},
        {"--upstream", "1.2.3.4:"}, {"--upstream", "1.2.3.4:99999"}, {"--upstream", "[::1"},
        {"--upstream", "127.0.0.1"}, {"--upstream", "http://dns.example/q"}, {"--upstream", "::1"}, {"--upstream", "198.18.0.1:53"},
        {"--upstream", "198.18.0.1:5353", "--listen", "5353"}, {"--listen", "5353", "--upstream", "127.0.0.1"},
        {"--cache", ""}, {"--verbose"}, {"--save-seconds", "0"}, {"--save-seconds", "86401"}};
    // clang-format on
    for (const Arguments& arguments : refused) {
        std::string error;
        EXPECT_FALSE(ParseDaemonOptions(arguments, kMachine, error) || error.empty())
            << ::testing::PrintToString(arguments);
    }
}

}  // namespace
