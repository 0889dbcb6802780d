#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "system/adapter_list.h"

// Stands in for IP Helper with adapters of the test's choosing, answering like the system does:
// ERROR_BUFFER_OVERFLOW with the size needed when the caller's buffer is too small.
struct FakeIpHelper {
    struct Adapter {
        std::string name;
        uint32_t index = 0;
        std::vector<std::string> dnsServers;
    };
    std::vector<Adapter> adapters;

    IpHelperApi Api();
};
