#include "daemon/daemon_options.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string_view>

#include "core/dns_cache.h"

namespace {

// The arguments of a command line, split at every space ("--cache " ends in an empty one).
std::vector<std::string> Words(std::string_view line) {
    std::vector<std::string> words;
    for (std::size_t start = 0; start <= line.size() && !line.empty();) {
        const std::size_t space = std::min(line.find(' ', start), line.size());
        words.emplace_back(line.substr(start, space - start));
        start = space + 1;
    }
    return words;
}

TEST(DaemonOptions, ReadsEveryOptionAndDefaultsTheRest) {
    const std::pair<const char*, DaemonOptions> cases[] = {
        {"", {53, std::string(kFallbackDnsServer), 53, "DnsItem.csv"}},
        {"--listen 5353 --upstream 198.18.0.2:5300 --cache /tmp/c.csv --allow-any-client",
         {5353, "198.18.0.2", 5300, "/tmp/c.csv", true}},
        {"--upstream 198.18.0.2", {53, "198.18.0.2", 53, "DnsItem.csv"}},
    };
    for (const auto& [line, expected] : cases) {
        std::string error;
        const std::optional<DaemonOptions> options = ParseDaemonOptions(Words(line), error);
        ASSERT_TRUE(options) << line << ": " << error;
        EXPECT_EQ(options->ListenPort, expected.ListenPort) << line;
        EXPECT_EQ(options->UpstreamAddress, expected.UpstreamAddress) << line;
        EXPECT_EQ(options->UpstreamPort, expected.UpstreamPort) << line;
        EXPECT_EQ(options->CacheFile, expected.CacheFile) << line;
        EXPECT_EQ(options->AllowAnyClient, expected.AllowAnyClient) << line;
    }
}

TEST(DaemonOptions, RejectsWhatItCannotUseAndSaysWhy) {
    for (const char* line :
         {"--listen", "--listen 0", "--listen 65536", "--listen 53x", "--listen -1",
          "--upstream dns.example", "--upstream :53",
          "--upstream 1.2.3.4:", "--upstream 1.2.3.4:99999", "--cache ", "--verbose"}) {
        std::string error;
        EXPECT_FALSE(ParseDaemonOptions(Words(line), error)) << line;
        EXPECT_FALSE(error.empty()) << line;
    }
}

}  // namespace
