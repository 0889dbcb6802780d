#include "daemon/daemon_options.h"

#include <gtest/gtest.h>

#include "core/dns_cache.h"

namespace {

std::optional<DaemonOptions> Parse(std::vector<std::string> arguments,
                                   std::string* error = nullptr) {
    std::string reason;
    std::optional<DaemonOptions> options = ParseDaemonOptions(arguments, reason);
    if (error != nullptr) {
        *error = reason;
    }
    return options;
}

TEST(DaemonOptions, DefaultsServePort53AndForwardToTheFixedServer) {
    const std::optional<DaemonOptions> options = Parse({});
    ASSERT_TRUE(options);
    EXPECT_EQ(options->ListenPort, 53);
    EXPECT_EQ(options->UpstreamAddress, kFallbackDnsServer);
    EXPECT_EQ(options->UpstreamPort, 53);
    EXPECT_EQ(options->CacheFile, "DnsItem.csv");
}

TEST(DaemonOptions, ReadsEveryOption) {
    const std::optional<DaemonOptions> options =
        Parse({"--listen", "5353", "--upstream", "198.18.0.2:5300", "--cache", "/tmp/c.csv"});
    ASSERT_TRUE(options);
    EXPECT_EQ(options->ListenPort, 5353);
    EXPECT_EQ(options->UpstreamAddress, "198.18.0.2");
    EXPECT_EQ(options->UpstreamPort, 5300);
    EXPECT_EQ(options->CacheFile, "/tmp/c.csv");

    const std::optional<DaemonOptions> plain = Parse({"--upstream", "198.18.0.2"});
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->UpstreamPort, 53);
}

TEST(DaemonOptions, RejectsWhatItCannotUse) {
    const std::vector<std::vector<std::string>> wrong{
        {"--listen"},
        {"--listen", "0"},
        {"--listen", "65536"},
        {"--listen", "53x"},
        {"--listen", "-1"},
        {"--upstream", "dns.example"},
        {"--upstream", "198.18.0.2:"},
        {"--upstream", ":53"},
        {"--upstream", "198.18.0.2:99999"},
        {"--cache", ""},
        {"--verbose"},
    };
    for (const std::vector<std::string>& arguments : wrong) {
        std::string error;
        EXPECT_FALSE(Parse(arguments, &error)) << arguments.front();
        EXPECT_FALSE(error.empty()) << arguments.front();
    }
}

}  // namespace
