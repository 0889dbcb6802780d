#include "app/server_box.h"

#include <algorithm>
#include <cctype>
#include <iterator>
#include <string>
#include <vector>

#include "core/dns_cache.h"
#include "net/attached_networks.h"
#include "res/window_messages.h"
#include "system/server_list.h"
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

// Whether the edit control shows every line of its text: a multi-line box without a scroll bar
// wraps what is too wide and hides what is too tall.
bool ShowsWhole(HWND box) {
    RECT shown{};
    ::SendMessageA(box, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&shown));
    HDC dc = ::GetDC(box);
    HGDIOBJ font =
        ::SelectObject(dc, reinterpret_cast<HGDIOBJ>(::SendMessageA(box, WM_GETFONT, 0, 0)));
    TEXTMETRICA metrics{};
    ::GetTextMetricsA(dc, &metrics);
    ::SelectObject(dc, font);
    ::ReleaseDC(box, dc);
    LRESULT lines = ::SendMessageA(box, EM_GETLINECOUNT, 0, 0);
    // The empty line after the last line break shows nothing.
    const LRESULT lastLine = ::SendMessageA(box, EM_LINEINDEX, static_cast<WPARAM>(lines - 1), 0);
    if (lines > 1 && ::SendMessageA(box, EM_LINELENGTH, static_cast<WPARAM>(lastLine), 0) == 0) {
        --lines;
    }
    return metrics.tmHeight > 0 && lines * metrics.tmHeight <= shown.bottom - shown.top;
}

// A reason ("not an IPv6 address") as the start of a sentence.
std::string Capitalized(std::string reason) {
    if (!reason.empty()) {
        reason.front() =
            static_cast<char>(std::toupper(static_cast<unsigned char>(reason.front())));
    }
    return reason;
}

// The system's trusted roots refused the server's certificate.
bool CertificateRefused(const UpstreamServerFigures& server) {
    return server.Encrypted && server.CertificateRejected;
}

// What the user meant the text to be, as the refusal names it.
std::string_view MeantAs(std::string_view text) {
    const auto startsWith = [&](std::string_view scheme) {
        return text.size() >= scheme.size() &&
               std::equal(scheme.begin(), scheme.end(), text.begin(), [](char a, char b) {
                   return a == std::tolower(static_cast<unsigned char>(b));
               });
    };
    return startsWith("https://") || startsWith("http://") ? "DNS-over-HTTPS URL" : "ip address";
}

}  // namespace

std::string StatusLine(std::string_view label, std::string_view value) {
    constexpr size_t kLabelWidth = 20;
    constexpr size_t kValueWidth = 15;
    std::string line(label);
    // A label as wide as the column keeps a blank before its value.
    line.resize(std::max(line.size() + 1, kLabelWidth), ' ');
    line += value;
    line.append(kValueWidth - std::min(value.size(), kValueWidth), ' ');
    line += "\r\n";
    return line;
}

void ShowStatusText(HWND box, const StatusTexts& texts) {
    const std::string label = texts.encrypted ? "Encrypted DNS server:" : "Current DNS server:";
    const std::string stateLine = StatusLine("DNS server status:", texts.state);
    const std::string serverLine = texts.server + "\r\n";
    const std::string ownLine = label + "\r\n" + serverLine;
    const std::string layouts[] = {
        texts.first + StatusLine(label, texts.server) + stateLine,
        texts.first + ownLine + stateLine,
        texts.notice ? texts.first + serverLine + stateLine : ownLine + stateLine};
    CWindow window(box);
    // A layout shown already was chosen for the same texts: rewriting the box every second
    // would make it flicker.
    if (std::ranges::find(layouts, window.GetText()) != std::end(layouts)) {
        return;
    }
    for (const std::string& layout : layouts) {
        window.SetText(layout);
        if (ShowsWhole(box)) {
            return;
        }
    }
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
              [this](int answering, int servers) { OnProbed(answering, servers); }, WM_PROBE_DONE,
              TIMER_PROBE) {}

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
    BuildServerList(m_serverList, dnsSetting, adapterServers, MachineAddresses());
}

std::string CServerList::DnsSetting() {
    Collect(m_serverList, m_removing);
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
    const std::vector<CSocketAddress> machine = MachineAddresses();
    auto lock = list.Lock();
    list.RemoveAll();
    for (std::string& text : texts) {
        if (IsValidServer(text, machine)) {
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

bool CServerList::AcceptItem(int index) {
    const std::string text = m_control.GetItemText(index);
    std::string reason;
    const ServerFault fault = CheckServer(text, MachineAddresses(), reason);
    if (fault == ServerFault::kNone) {
        return true;
    }
    // The text is the user's: it is never a format.
    ShowMessage(fault == ServerFault::kMalformed
                    ? text + " is not a valid " + std::string(MeantAs(text)) +
                          ", please input again.\n" + Capitalized(reason) + "."
                    : text +
                          " is this computer itself on port 53: Quillforth would ask "
                          "itself.\nEnter another DNS server, or the port of another program "
                          "of this computer (127.0.0.1:5353, say).");
    m_control.RemoveItem(index);
    return false;
}

int CServerList::OnServerListChanged(int event, int index) {
    // A refused item has left the box, an edited one with its old text: what remains is the list.
    const bool refused = event >= kServerAdded && event <= kServerMovedDown && !AcceptItem(index);
    CLockedStringList servers(true);
    CollectServerList(servers);
    if (event == kServerRemoving) {
        if (servers.GetCount() <= 1) {
            ShowMessage("You must set up at least one DNS server.");
            return 0;
        }
        Collect(servers, index);  // the list as it is once the item has gone
    }
    if (event < kServerAdded || event > kServerRemoving) {
        return 1;  // the box as shown is the list already
    }
    m_owner.Upstream().SetServers(servers.Texts());
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
    return refused ? 0 : 1;
}

void CServerList::OnProbed(int answering, int servers) {
    m_answering = answering;
    m_probed = servers;
    m_trayNotes.warning = CertificateNotice();
    m_bServerDown = answering == 0 || !m_trayNotes.warning.empty();
    m_owner.OnServerStatusChanged();
}

std::string CServerList::StatusValue() const {
    if (m_probed == 0) {
        return "Up";
    }
    return (m_answering == 0 ? "Down, " : "Up, ") + std::to_string(m_answering) + " of " +
           std::to_string(m_probed) + " answer";
}

std::string CServerList::CertificateNotice() const {
    for (const auto& server : *m_owner.Upstream().Target().Servers) {
        const UpstreamServerFigures figures = server->Figures();
        if (CertificateRefused(figures)) {
            return Capitalized(figures.LastFailure);
        }
    }
    return {};
}

TrayStatus CServerList::UpdateTrayStatus(bool updating, bool running) {
    m_trayNotes.encrypted = m_owner.Upstream().Target().Preferred()->IsHttps();
    return m_trayWarning.Update(m_bServerDown, updating, running, m_trayNotes);
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
