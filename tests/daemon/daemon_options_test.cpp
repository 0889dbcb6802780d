#include "daemon/daemon_options.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "core/dns_cache.h"

namespace {

using Arguments = std::vector<std::string>;

auto Fields(const DaemonOptions& options) {
    return std::tie(options.ListenPort, options.UpstreamAddress, options.UpstreamPort,
                    options.CacheFile, options.AllowAnyClient);
}

TEST(DaemonOptions, ReadsEveryOptionAndDefaultsTheRest) {
    const std::pair<Arguments, DaemonOptions> cases[] = {
        {{}, {53, std::string(kFallbackDnsServer), 53, "DnsItem.csv"}},
        {{"--listen", "5353", "--upstream", "198.18.0.2:5300", "--cache", "/tmp/c.csv",
          "--allow-any-client"},
         {5353, "198.18.0.2", 5300, "/tmp/c.csv", true}},
    };
    for (const auto& [arguments, expected] : cases) {
        std::string error;
        const std::optional<DaemonOptions> options = ParseDaemonOptions(arguments, error);
        ASSERT_TRUE(options) << error;
        EXPECT_EQ(Fields(*options), Fields(expected)) << ::testing::PrintToString(arguments);
    }
}

TEST(DaemonOptions, RejectsWhatItCannotUseAndSaysWhy) {
    // clang-format off
    const Arguments refused[] = {
        {"--listen"}, {"--listen", "0"}, {"--listen", "65536"}, {"--listen", "53x"},
        {"--listen", "-1"}, {"--upstream", "dns.example"}, {"--upstream", ":53"},
        {"--upstream", "1.2.3.4:"}, {"--upstream", "1.2.3.4:99999"}, {"--cache", ""}, {"--verbose"}};
    // clang-format on
    for (const Arguments& arguments : refused) {
        std::string error;
        EXPECT_FALSE(ParseDaemonOptions(arguments, error) || error.empty())
            << ::testing::PrintToString(arguments);
    }
}

}  // namespace
