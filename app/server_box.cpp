#include "app/server_box.h"

#include <algorithm>
#include <string>
#include <vector>

#include "core/dns_cache.h"
#include "res/window_messages.h"
#include "system/server_list.h"
#include "system/system_dns.h"
#include "win/application.h"
#include "win/message_box.h"

namespace {

LRESULT NotifyMainWindow(int event, int index) {
    CApplication* application = CApplication::Current();
    HWND mainWindow = application != nullptr ? application->MainWindow() : nullptr;
    if (mainWindow == nullptr) {
        return 0;
    }
    return ::SendMessageA(mainWindow, WM_SERVERLIST_CHANGED, static_cast<WPARAM>(event),
                          static_cast<LPARAM>(index));
}

}  // namespace

std::string StatusLine(std::string_view label, std::string_view value) {
    constexpr size_t kLabelWidth = 20;
    constexpr size_t kValueWidth = 15;
    std::string line(label);
    line.resize(std::max(line.size(), kLabelWidth), ' ');
    line += value;
    line.append(kValueWidth - std::min(value.size(), kValueWidth), ' ');
    line += "\r\n";
    return line;
}

std::string ServerStatusLines(std::string_view server, bool serverDown) {
    return StatusLine("Current DNS server:", server) +
           StatusLine("DNS server status:", serverDown ? "Down" : "Up");
}

bool CServerListCtrl::OnBeforeRemoveItem(int index) {
    NotifyMainWindow(kServerRemoving, index);
    return true;  // the main window has had its say; the delete goes on
}

bool CServerListCtrl::OnAfterAddItem(int index) {
    return NotifyMainWindow(kServerAdded, index) != 0;
}

bool CServerListCtrl::OnAfterRenameItem(int index) {
    return NotifyMainWindow(kServerEdited, index) != 0;
}

bool CServerListCtrl::OnAfterMoveItemUp(int newIndex) {
    return NotifyMainWindow(kServerMovedUp, newIndex) != 0;
}

bool CServerListCtrl::OnAfterMoveItemDown(int newIndex) {
    return NotifyMainWindow(kServerMovedDown, newIndex) != 0;
}

CServerList::CServerList(IServerListOwner& owner)
    : m_owner(owner),
      m_probe([this] { return m_owner.Upstream().Target(); },
              [this](bool answered) {
                  m_bServerDown = !answered;
                  m_owner.OnServerStatusChanged();
              },
              WM_PROBE_DONE, TIMER_PROBE) {}

bool CServerList::AttachControl(HWND placeholder) {
    if (!m_control.AttachPlaceholder(placeholder)) {
        return false;
    }
    m_control.SetStandardButtons(CEditableListCtrl::kAllButtons);
    m_control.ShowSelectionAlways();
    return true;
}

void CServerList::Load(std::string_view dnsSetting, const CAdapterList& adapters) {
    CLockedStringList adapterServers(true);
    CollectAdapterDns(adapters, adapterServers);
    BuildServerList(m_serverList, dnsSetting, adapterServers);
}

std::string CServerList::DnsSetting() {
    Collect(m_serverList, m_removing);
    auto lock = m_serverList.Lock();
    m_serverList.RemoveFirst(kProxyAddress);
    return m_serverList.JoinList('|');
}

void CServerList::CollectServerList(CLockedStringList& list) {
    Collect(list, -1);
}

void CServerList::Collect(CLockedStringList& list, int skip) {
    // The box is read before the list's lock is taken: no lock is held while a window message
    // is sent.
    std::vector<std::string> texts;
    for (int index = 0; index < m_control.GetCount(); ++index) {
        if (index != skip) {
            texts.push_back(m_control.GetItemText(index));
        }
    }
    if (texts.empty()) {
        m_control.AddItem(kFallbackDnsServer);
        texts.emplace_back(kFallbackDnsServer);
    }
    auto lock = list.Lock();
    list.RemoveAll();
    for (std::string& text : texts) {
        if (IsValidServer(text)) {
            list.AddTail(std::move(text));
        }
    }
}

void CServerList::FillServerListCtrl(const CLockedStringList& list) {
    while (m_control.GetCount() > 0) {
        m_control.RemoveItem(m_control.GetCount() - 1);
    }
    for (const std::string& text : list.Texts()) {
        m_control.AddItem(text);
    }
}

int CServerList::OnServerListChanged(int event, int index) {
    if (event >= kServerAdded && event <= kServerMovedDown) {
        const std::string text = m_control.GetItemText(index);
        if (!IsValidServer(text)) {
            // The text is the user's: it is never a format.
            ShowMessage(text + " is not a valid ip address, please input again.");
            m_control.RemoveItem(index);
            return 0;
        }
    }
    CLockedStringList servers(true);
    CollectServerList(servers);
    if (event == kServerRemoving && servers.GetCount() <= 1) {
        ShowMessage("You must set up at least one DNS server.");
        return 0;
    }
    if (!ChangesServerInUse(event, index, servers)) {
        return 1;  // the box keeps the change; the settings take it at the next save
    }
    m_owner.SetDnsServers(servers);
    {
        auto lock = m_serverList.Lock();
        m_serverList.Copy(servers);
    }
    struct RemovingScope {
        int& removing;
        ~RemovingScope() { removing = -1; }
    } scope{m_removing};
    if (event == kServerRemoving) {
        m_removing = index;
    }
    m_owner.SaveSettings();
    return 1;
}

// Whether the event made another server the first; `servers` is then the new list.
bool CServerList::ChangesServerInUse(int event, int index, CLockedStringList& servers) {
    switch (event) {
        case kServerAdded:
            // New items go to the end: only one added to a box left empty comes first.
            return index == 0;
        case kServerEdited:
        case kServerMovedUp:
            return index == 0;
        case kServerMovedDown:
            return index == 1;
        case kServerRemoving:
            if (index != 0) {
                return false;
            }
            Collect(servers, index);  // the list as it is once the first item has gone
            return true;
        default:
            return false;
    }
}

void CServerList::StartProbe(HWND window, UINT periodMs) {
    m_probe.Start(window, periodMs);
}

std::optional<LRESULT> CServerList::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_SERVERLIST_CHANGED) {
        return OnServerListChanged(static_cast<int>(wParam), static_cast<int>(lParam));
    }
    if (m_probe.OnMessage(message)) {
        return 0;
    }
    return std::nullopt;
}
