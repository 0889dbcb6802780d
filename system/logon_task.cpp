#include "system/logon_task.h"

#include <windows.h>

#define SECURITY_WIN32
#include <security.h>
#include <taskschd.h>

#include <memory>
#include <vector>

#include "system/com_support.h"
#include "system/file_rights.h"

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

// The folder part of a path, without its last backslash.
std::wstring FolderOf(const std::wstring& path) {
    return path.substr(0, path.find_last_of(L'\\'));
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

// Deletes the named tasks of the folder: true when none of them is left.
bool DeleteTasks(ITaskFolder& folder, const std::vector<std::wstring>& names) {
    bool gone = true;
    for (const std::wstring& name : names) {
        const HRESULT result = folder.DeleteTask(MakeBstr(name).get(), 0);
        gone = gone && (SUCCEEDED(result) || result == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    }
    return gone;
}

// The names of the folder's tasks that are a user's logon task ("Quillforth (...)").
std::vector<std::wstring> UsersTaskNames(ITaskFolder& folder) {
    std::vector<std::wstring> names;
    IRegisteredTaskCollection* tasks = nullptr;
    if (FAILED(folder.GetTasks(TASK_ENUM_HIDDEN, &tasks))) {
        return names;
    }
    const ComPtr<IRegisteredTaskCollection> owned(tasks);
    LONG count = 0;
    tasks->get_Count(&count);
    const std::wstring prefix = std::wstring(kSharedLogonTaskName) + L" (";
    for (LONG index = 1; index <= count; ++index) {
        VARIANT which{};
        which.vt = VT_I4;
        which.lVal = index;
        IRegisteredTask* task = nullptr;
        BSTR name = nullptr;
        if (SUCCEEDED(tasks->get_Item(which, &task))) {
            const ComPtr<IRegisteredTask> ownedTask(task);
            if (SUCCEEDED(task->get_Name(&name)) && name != nullptr) {
                const Bstr ownedName(name);
                const std::wstring text(name, ::SysStringLen(name));
                if (text.starts_with(prefix) && text.ends_with(L")")) {
                    names.push_back(text);
                }
            }
        }
    }
    return names;
}

}  // namespace

bool LogonTaskAllowed() {
    const std::wstring executable = ExecutablePath();
    return !StandardUsersMayChange(FolderOf(executable)) && !StandardUsersMayChange(executable);
}

std::wstring LogonTaskName(std::wstring_view user) {
    const size_t slash = user.find(L'\\');
    std::wstring who(user);
    if (slash != std::wstring_view::npos) {
        who = std::wstring(user.substr(slash + 1)) + L" on " + std::wstring(user.substr(0, slash));
    }
    return std::wstring(kSharedLogonTaskName) + L" (" + who + L")";
}

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
        MakeBstr(LogonTaskName(user)).get(),
        MakeBstr(LogonTaskDefinition(user, ExecutablePath())).get(), TASK_CREATE_OR_UPDATE, none,
        none, TASK_LOGON_INTERACTIVE_TOKEN, none, &task);
    if (task != nullptr) {
        task->Release();
    }
    // The shared task of an older version would start a second copy at this user's logon.
    return SUCCEEDED(result) && DeleteTasks(*folder, {kSharedLogonTaskName});
}

bool DeleteLogonTask() {
    const CComScope com;
    const ComPtr<ITaskFolder> folder = RootFolder();
    const std::wstring user = CurrentUserName();
    std::vector<std::wstring> names{kSharedLogonTaskName};
    if (!user.empty()) {
        names.push_back(LogonTaskName(user));
    }
    return folder && DeleteTasks(*folder, names) && !user.empty();
}

bool DeleteEveryLogonTask() {
    const CComScope com;
    const ComPtr<ITaskFolder> folder = RootFolder();
    if (!folder) {
        return false;
    }
    // The user's own by name too: a Task Scheduler may list none.
    std::vector<std::wstring> names = UsersTaskNames(*folder);
    names.push_back(kSharedLogonTaskName);
    if (const std::wstring user = CurrentUserName(); !user.empty()) {
        names.push_back(LogonTaskName(user));
    }
    return DeleteTasks(*folder, names);
}
