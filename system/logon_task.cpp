#include "system/logon_task.h"

#include <windows.h>

#define SECURITY_WIN32
#include <security.h>
#include <taskschd.h>

#include <memory>
#include <vector>

namespace {

// The characters that XML text cannot hold as they are ("&" may well be in a folder's name).
std::wstring XmlText(std::wstring_view text) {
    std::wstring escaped;
    for (const wchar_t c : text) {
        switch (c) {
            case L'&':
                escaped += L"&amp;";
                break;
            case L'<':
                escaped += L"&lt;";
                break;
            case L'>':
                escaped += L"&gt;";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

std::wstring ExecutablePath() {
    // The path may be longer than MAX_PATH: grow until the system no longer cuts it.
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length =
            ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length < buffer.size()) {
            return {buffer.data(), length};
        }
        buffer.resize(buffer.size() * 2);
    }
}

// COM on this thread for the calls of one function.
class CComScope {
public:
    CComScope() : m_result(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    CComScope(const CComScope&) = delete;
    CComScope& operator=(const CComScope&) = delete;
    ~CComScope() {
        if (SUCCEEDED(m_result)) {
            ::CoUninitialize();
        }
    }

private:
    HRESULT m_result;
};

struct ComRelease {
    void operator()(IUnknown* object) const { object->Release(); }
};
template <class T>
using ComPtr = std::unique_ptr<T, ComRelease>;

struct BstrFree {
    void operator()(BSTR text) const { ::SysFreeString(text); }
};
using Bstr = std::unique_ptr<OLECHAR, BstrFree>;

Bstr MakeBstr(const std::wstring& text) {
    return Bstr(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
}

// The Task Scheduler's root folder on this machine, as the user who runs this program; null
// when the Task Scheduler cannot be reached.
ComPtr<ITaskFolder> RootFolder() {
    ITaskService* service = nullptr;
    if (FAILED(::CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_ITaskService, reinterpret_cast<void**>(&service)))) {
        return nullptr;
    }
    const ComPtr<ITaskService> owned(service);
    const VARIANT none{};
    ITaskFolder* folder = nullptr;
    if (FAILED(service->Connect(none, none, none, none)) ||
        FAILED(service->GetFolder(MakeBstr(L"\\").get(), &folder))) {
        return nullptr;
    }
    return ComPtr<ITaskFolder>(folder);
}

}  // namespace

std::wstring LogonTaskDefinition(std::wstring_view user, std::wstring_view executablePath) {
    const std::wstring who = XmlText(user);
    return LR"(<?xml version="1.0" encoding="UTF-16"?>
<Task version="1.2" xmlns="http://schemas.microsoft.com/windows/2004/02/mit/task">
  <RegistrationInfo>
    <Description>Starts Quillforth when you log on.</Description>
  </RegistrationInfo>
  <Triggers>
    <LogonTrigger>
      <Enabled>true</Enabled>
      <UserId>)" +
           who +
           LR"(</UserId>
    </LogonTrigger>
  </Triggers>
  <Principals>
    <Principal id="Author">
      <UserId>)" +
           who +
           LR"(</UserId>
      <LogonType>InteractiveToken</LogonType>
      <RunLevel>HighestAvailable</RunLevel>
    </Principal>
  </Principals>
  <Settings>
    <MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>
    <DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>
    <StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>
    <ExecutionTimeLimit>PT0S</ExecutionTimeLimit>
    <Priority>4</Priority>
  </Settings>
  <Actions Context="Author">
    <Exec>
      <Command>")" +
           XmlText(executablePath) +
           LR"("</Command>
    </Exec>
  </Actions>
</Task>
)";
}

std::wstring CurrentUserName() {
    ULONG size = 0;
    ::GetUserNameExW(NameSamCompatible, nullptr, &size);
    std::wstring name(size, L'\0');
    if (size == 0 || !::GetUserNameExW(NameSamCompatible, name.data(), &size)) {
        return {};
    }
    name.resize(size);
    return name;
}

bool RegisterLogonTask() {
    // Without a user the trigger would start the program at everybody's logon.
    const std::wstring user = CurrentUserName();
    if (user.empty()) {
        return false;
    }
    const CComScope com;
    const ComPtr<ITaskFolder> folder = RootFolder();
    if (!folder) {
        return false;
    }
    const VARIANT none{};
    IRegisteredTask* task = nullptr;
    const HRESULT result = folder->RegisterTask(
        MakeBstr(kLogonTaskName).get(), MakeBstr(LogonTaskDefinition(user, ExecutablePath())).get(),
        TASK_CREATE_OR_UPDATE, none, none, TASK_LOGON_INTERACTIVE_TOKEN, none, &task);
    if (task != nullptr) {
        task->Release();
    }
    return SUCCEEDED(result);
}

bool DeleteLogonTask() {
    const CComScope com;
    const ComPtr<ITaskFolder> folder = RootFolder();
    if (!folder) {
        return false;
    }
    const HRESULT result = folder->DeleteTask(MakeBstr(kLogonTaskName).get(), 0);
    return SUCCEEDED(result) || result == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
}
