#pragma once

#include <cstdint>
#include <cstring>
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

    IpHelperApi Api() {
        auto adaptersInfo = [this](PIP_ADAPTER_INFO buffer, PULONG size) -> ULONG {
            if (adapters.empty()) {
                return ERROR_NO_DATA;
            }
            if (!Fits(size, adapters.size() * sizeof(IP_ADAPTER_INFO))) {
                return ERROR_BUFFER_OVERFLOW;
            }
            std::memset(buffer, 0, adapters.size() * sizeof(IP_ADAPTER_INFO));
            for (size_t i = 0; i < adapters.size(); ++i) {
                adapters[i].name.copy(buffer[i].AdapterName, sizeof buffer[i].AdapterName - 1);
                buffer[i].Index = adapters[i].index;
                buffer[i].Next = i + 1 < adapters.size() ? &buffer[i + 1] : nullptr;
            }
            return NO_ERROR;
        };
        // The first server sits in the structure, the further ones in the buffer behind it.
        auto perAdapterInfo = [this](ULONG index, PIP_PER_ADAPTER_INFO info, PULONG size) -> DWORD {
            for (const Adapter& adapter : adapters) {
                if (adapter.index != index) {
                    continue;
                }
                const size_t further =
                    adapter.dnsServers.empty() ? 0 : adapter.dnsServers.size() - 1;
                if (!Fits(size, sizeof(IP_PER_ADAPTER_INFO) + further * sizeof(IP_ADDR_STRING))) {
                    return ERROR_BUFFER_OVERFLOW;
                }
                std::memset(info, 0, *size);
                auto* extra = reinterpret_cast<IP_ADDR_STRING*>(info + 1);
                IP_ADDR_STRING* entry = &info->DnsServerList;
                for (size_t i = 0; i < adapter.dnsServers.size(); ++i) {
                    if (i > 0) {
                        entry = entry->Next = &extra[i - 1];
                    }
                    adapter.dnsServers[i].copy(entry->IpAddress.String,
                                               sizeof entry->IpAddress.String - 1);
                }
                return NO_ERROR;
            }
            return ERROR_INVALID_PARAMETER;
        };
        return {adaptersInfo, perAdapterInfo};
    }

private:
    static bool Fits(PULONG size, size_t needed) {
        if (*size >= needed) {
            return true;
        }
        *size = static_cast<ULONG>(needed);
        return false;
    }
};
