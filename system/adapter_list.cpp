#include "system/adapter_list.h"

#include <array>
#include <cstring>
#include <optional>
#include <utility>

namespace {

// The first try's size; the system says how much it needs when that is too small.
constexpr ULONG kInitialBufferSize = 8192;

// Memory for what IP Helper writes: the chains it returns point into the buffer itself, so the
// buffer must outlive every use of them, and it must be aligned for their 64-bit fields.
class IpHelperBuffer {
public:
    explicit IpHelperBuffer(ULONG size) { Resize(size); }
    void Resize(ULONG size) { m_words.assign((size + sizeof(uint64_t) - 1) / sizeof(uint64_t), 0); }
    template <typename T>
    T* As() {
        return reinterpret_cast<T*>(m_words.data());
    }

private:
    std::vector<uint64_t> m_words;
};

// Runs a sizing call of IP Helper with the usual buffer, and again with the size it asked for
// while that was too small: the data may grow between two calls when an adapter comes up. None on
// any other failure, or when it was still short after a few tries.
template <typename T, typename Call>
std::optional<IpHelperBuffer> CallWithRetries(Call call) {
    constexpr int kAttempts = 4;
    ULONG size = kInitialBufferSize;
    IpHelperBuffer buffer(size);
    DWORD status = call(buffer.As<T>(), &size);
    for (int attempt = 1; status == ERROR_BUFFER_OVERFLOW && attempt < kAttempts; ++attempt) {
        buffer.Resize(size);
        status = call(buffer.As<T>(), &size);
    }
    if (status != NO_ERROR) {
        return std::nullopt;
    }
    return buffer;
}

// The text of a fixed-size character field, which need not end in a zero.
template <size_t N>
std::string FieldText(const char (&field)[N]) {
    return {field, ::strnlen(field, N)};
}

}  // namespace

IpHelperApi IpHelperApi::System() {
    return {[](PIP_ADAPTER_INFO info, PULONG size) { return ::GetAdaptersInfo(info, size); },
            [](ULONG index, PIP_PER_ADAPTER_INFO info, PULONG size) {
                return ::GetPerAdapterInfo(index, info, size);
            }};
}

CAdapterList::CAdapterList() : CAdapterList(IpHelperApi::System()) {}

CAdapterList::CAdapterList(IpHelperApi api) : m_api(std::move(api)) {
    Refresh();
}

int CAdapterList::Refresh() {
    m_adapters.clear();
    std::optional<IpHelperBuffer> buffer = CallWithRetries<IP_ADAPTER_INFO>(m_api.getAdaptersInfo);
    if (!buffer) {
        return -1;
    }
    for (const IP_ADAPTER_INFO* entry = buffer->As<IP_ADAPTER_INFO>(); entry != nullptr;
         entry = entry->Next) {
        AdapterInfo adapter;
        adapter.AdapterName = FieldText(entry->AdapterName);
        adapter.Index = entry->Index;
        ReadDnsServers(adapter);
        m_adapters.push_back(std::move(adapter));
    }
    return 1;
}

// The servers the adapter uses right now, set by hand or by DHCP. Both fields stay empty when
// the system cannot tell.
void CAdapterList::ReadDnsServers(AdapterInfo& adapter) const {
    auto perAdapterInfo = [&](PIP_PER_ADAPTER_INFO info, PULONG size) {
        return m_api.getPerAdapterInfo(adapter.Index, info, size);
    };
    std::optional<IpHelperBuffer> buffer = CallWithRetries<IP_PER_ADAPTER_INFO>(perAdapterInfo);
    if (!buffer) {
        return;
    }
    // An adapter without servers reports one entry with an empty text.
    for (const IP_ADDR_STRING* server = &buffer->As<IP_PER_ADAPTER_INFO>()->DnsServerList;
         server != nullptr; server = server->Next) {
        std::string text = FieldText(server->IpAddress.String);
        if (text.empty()) {
            continue;
        }
        if (adapter.PrimaryDns.empty()) {
            adapter.PrimaryDns = std::move(text);
        } else {
            adapter.OtherDns += adapter.OtherDns.empty() ? text : "," + text;
        }
    }
}

AdapterInfo* CAdapterList::GetAt(int index) {
    return InRange(index) ? &m_adapters[static_cast<size_t>(index)] : nullptr;
}

const AdapterInfo* CAdapterList::GetAt(int index) const {
    return InRange(index) ? &m_adapters[static_cast<size_t>(index)] : nullptr;
}

std::vector<RunningAdapter> RunningAdapters() {
    auto adaptersAddresses = [](PIP_ADAPTER_ADDRESSES buffer, PULONG size) {
        return ::GetAdaptersAddresses(AF_INET,
                                      GAA_FLAG_SKIP_UNICAST | GAA_FLAG_SKIP_ANYCAST |
                                          GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
                                      nullptr, buffer, size);
    };
    std::vector<RunningAdapter> running;
    std::optional<IpHelperBuffer> buffer = CallWithRetries<IP_ADAPTER_ADDRESSES>(adaptersAddresses);
    for (const IP_ADAPTER_ADDRESSES* entry = buffer ? buffer->As<IP_ADAPTER_ADDRESSES>() : nullptr;
         entry != nullptr; entry = entry->Next) {
        if (entry->OperStatus != IfOperStatusUp || entry->IfType == IF_TYPE_SOFTWARE_LOOPBACK) {
            continue;
        }
        // In UTF-8, as the program's texts are, whatever the process's code page: such names
        // are often not ASCII. Room for the longest name Windows gives (256 characters); a name
        // that does not fit all the same is left empty.
        std::array<char, 1024> friendly{};
        const int length =
            ::WideCharToMultiByte(CP_UTF8, 0, entry->FriendlyName, -1, friendly.data(),
                                  static_cast<int>(friendly.size()), nullptr, nullptr);
        running.push_back(
            {entry->AdapterName,
             std::string(friendly.data(), length > 0 ? static_cast<size_t>(length) - 1 : 0)});
    }
    return running;
}

bool ListsEveryRunningAdapter(const CAdapterList& adapters) {
    for (const RunningAdapter& running : RunningAdapters()) {
        bool listed = false;
        for (int i = 0; i < adapters.GetCount() && !listed; ++i) {
            listed = adapters.GetAt(i)->AdapterName == running.AdapterName;
        }
        if (!listed) {
            return false;
        }
    }
    return true;
}
