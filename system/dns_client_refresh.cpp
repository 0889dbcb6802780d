#include "system/dns_client_refresh.h"

#include <optional>
#include <string_view>
#include <utility>

#include "system/dns_client_service.h"
#include "system/system_dns.h"

namespace {

bool Signalled(HANDLE event) {
    return event != nullptr && ::WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

// Runs "ipconfig COMMAND" and waits for it: empty when it exited with 0, else what went wrong.
std::string RunIpconfig(std::string_view command, HANDLE cancel) {
    const std::string shown = "ipconfig " + std::string(command);
    const std::optional<std::string> program = SystemFilePath("ipconfig.exe");
    std::string commandLine = "\"" + program.value_or("") + "\" " + std::string(command);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process{};
    if (!program || !::CreateProcessA(program->c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                                      CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process)) {
        return "ipconfig.exe not started: error " + std::to_string(::GetLastError());
    }
    ::CloseHandle(process.hThread);
    const HANDLE awaited[] = {process.hProcess, cancel};
    const DWORD waited =
        ::WaitForMultipleObjects(cancel != nullptr ? 2 : 1, awaited, FALSE,
                                 static_cast<DWORD>(kIpconfigTimeLimit.count() * 1000));
    DWORD exitCode = 0;
    std::string failure;
    if (waited != WAIT_OBJECT_0) {
        ::TerminateProcess(process.hProcess, 1);
        failure = shown + (waited == WAIT_TIMEOUT ? " hung" : " cut short");
    } else if (!::GetExitCodeProcess(process.hProcess, &exitCode) || exitCode != 0) {
        failure = shown + ": exit code " + std::to_string(exitCode);
    }
    ::CloseHandle(process.hProcess);
    return failure;
}

}  // namespace

std::string RefreshDnsClient(HANDLE cancel) {
    std::string failure = RunIpconfig("/registerdns", cancel);
    if (Signalled(cancel)) {
        return failure;
    }
    std::string flushFailure = RunIpconfig("/flushdns", cancel);
    if (failure.empty() && !flushFailure.empty() && DnsClientRunning()) {
        failure = std::move(flushFailure);
    }
    return failure;
}

CDnsClientRefresh::CDnsClientRefresh() : m_cancel(::CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

CDnsClientRefresh::~CDnsClientRefresh() {
    Finish(std::chrono::milliseconds(0));
    if (m_cancel != nullptr) {
        ::CloseHandle(m_cancel);
    }
}

void CDnsClientRefresh::Request() {
    {
        const std::lock_guard guard(m_lock);
        m_requested = true;
    }
    m_changed.notify_all();
    if (!m_thread.joinable()) {
        m_thread = std::thread([this] { Serve(); });
    }
}

void CDnsClientRefresh::Finish(std::chrono::milliseconds timeout) {
    {
        std::unique_lock lock(m_lock);
        m_finishing = true;
        m_changed.notify_all();
        if (!m_changed.wait_for(lock, timeout, [this] { return !m_requested && !m_running; })) {
            ::SetEvent(m_cancel);
        }
    }
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

std::string CDnsClientRefresh::Failure() const {
    const std::lock_guard guard(m_lock);
    return m_failure;
}

void CDnsClientRefresh::Serve() {
    std::unique_lock lock(m_lock);
    for (;;) {
        m_changed.wait(lock, [this] { return m_requested || m_finishing; });
        // Once Finish has given up waiting, a run still asked for is dropped.
        if (!m_requested || Signalled(m_cancel)) {
            return;
        }
        m_requested = false;
        m_running = true;
        lock.unlock();
        std::string failure = RefreshDnsClient(m_cancel);
        lock.lock();
        m_running = false;
        m_failure = std::move(failure);
        m_changed.notify_all();
    }
}
