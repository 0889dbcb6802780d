#include "app/dns_item_dlg.h"

#include <algorithm>
#include <atomic>
#include <initializer_list>
#include <mutex>
#include <string_view>
#include <system_error>
#include <utility>

#include "app/domain_text.h"
#include "core/dns_cache.h"
#include "core/dns_item.h"
#include "net/address_text.h"
#include "net/ip_text.h"
#include "res/resource.h"
#include "res/window_messages.h"
#include "win/data_exchange.h"
#include "win/message_box.h"

namespace {

constexpr std::uint32_t kMaxTtl = 9'999'999;
constexpr int kWaitCursor = 32514;  // IDC_WAIT

constexpr char kEmptyDomain[] = "Domain can't be empty !";
constexpr char kUnsafeDomain[] = "Domain can't contain ',', '|' or control characters !";
constexpr char kUnconvertibleDomain[] =
    "Domain can't be converted to the form that DNS carries: a label is longer than 63 bytes "
    "once converted, or it holds a character that domain names can't hold !";
constexpr char kNoValidAddress[] = "Please fill at leat one valid ip address !";
constexpr char kResolved[] = "Dns resolving finished successfully.";

std::atomic<int> g_resolvesInFlight{0};

// "," separates the fields of a line of the cache file and "|" its addresses; a control
// character (a line break above all) would split or garble the line.
bool BreaksCacheFileLine(std::string_view domain) {
    return std::any_of(domain.begin(), domain.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return c == ',' || c == '|' || byte < 0x20 || byte == 0x7F;
    });
}

std::string ResolveFailedText(std::string_view domain) {
    return "Can't query the ip addresses of " + std::string(domain) +
           ", check the DNS server used by Quillforth and your network please.";
}

// The cursor changes only when the mouse moves: ask the dialog's window under it now, so that
// the wait cursor comes and goes with the lookup.
void RefreshCursor(HWND dialog) {
    POINT point{};
    ::GetCursorPos(&point);
    HWND under = ::WindowFromPoint(point);
    if (under == nullptr || (under != dialog && ::IsChild(dialog, under) == FALSE)) {
        return;
    }
    const LRESULT hit = ::SendMessageA(under, WM_NCHITTEST, 0, MakeLParam(point.x, point.y));
    ::SendMessageA(under, WM_SETCURSOR, reinterpret_cast<WPARAM>(under),
                   MakeLParam(static_cast<int>(hit), WM_MOUSEMOVE));
}

}  // namespace

// What a lookup's thread and its dialog share. The dialog lets go by clearing `window`; the
// thread posts under the lock, so nothing reaches a window whose dialog has gone. Posting never
// waits for the window's thread, so holding the lock for it is safe.
struct CDnsItemDlg::Lookup {
    Lookup(std::string name, bool withIpv6) : domain(std::move(name)), ipv6(withIpv6) {}
    // What was typed when Resolve was pressed, as DNS carries it; never changes.
    const std::string domain;
    // The list held IPv6 addresses: they are renewed too.
    const bool ipv6;
    std::mutex lock;
    HWND window = nullptr;
    bool ended = false;
    bool answered = false;
    // The IPv4 addresses of the answer, then the IPv6 ones when they were renewed.
    std::vector<std::string> addresses;
    bool ipv6Renewed = false;
};

CDnsItemDlg::CDnsItemDlg(const CUpstreamSettings& upstream, HWND parent)
    : CDialog(IDD_DNS_ITEM, parent), m_upstream(upstream) {}

CDnsItemDlg::~CDnsItemDlg() {
    LetLookupGo();
}

int CDnsItemDlg::ResolvesInFlight() {
    return g_resolvesInFlight.load();
}

bool CDnsItemDlg::OnInitDialog() {
    m_shownDomain = DisplayDomain(m_domain);
    CDialog::OnInitDialog();
    m_addressList.AttachPlaceholder(Item(IDC_ITEM_ADDRESSES));
    m_addressList.SetStandardButtons();
    ShowAddresses(m_ipList.Texts());
    m_snapshot = {m_domain, m_ipList.Texts(), m_ttl};
    if (!m_domainEditable) {
        ::SendMessageA(Item(IDC_ITEM_DOMAIN), EM_SETREADONLY, TRUE, 0);
    }
    return true;
}

void CDnsItemDlg::DoDataExchange(CDataExchange& exchange) {
    exchange.Text(IDC_ITEM_DOMAIN, m_shownDomain);
    exchange.Text(IDC_ITEM_TTL, m_ttl);
    // The TTL's edit is hidden: a TTL the caller gave beyond the range (an entry may hold any
    // 32-bit TTL) must pass through, or OK would fail on a number the user can't see or mend.
    if (m_ttl != m_snapshot.ttl) {
        exchange.Range(m_ttl, 0u, kMaxTtl);
    }
}

bool CDnsItemDlg::OnCommand(int id, int code, HWND control) {
    if (Resolving() && (id == IDOK || id == IDCANCEL || id == IDC_RESOLVE)) {
        // Their buttons are grey, but Enter and Escape still send them.
        return true;
    }
    if (id == IDC_RESOLVE) {
        StartResolve();
        return true;
    }
    return CDialog::OnCommand(id, code, control);
}

void CDnsItemDlg::OnOK() {
    if (!UpdateData(true)) {
        return;
    }
    if (m_shownDomain.empty()) {
        Refuse(kEmptyDomain, Item(IDC_ITEM_DOMAIN));
        return;
    }
    const std::optional<std::string> domain = ConvertedDomain();
    if (!domain) {
        return;
    }
    if (BreaksCacheFileLine(*domain)) {
        Refuse(kUnsafeDomain, Item(IDC_ITEM_DOMAIN));
        return;
    }
    m_domain = *domain;
    m_ipList.RemoveAll();
    for (std::string& text : ListedAddresses()) {
        // IPv6 addresses are kept in their RFC 5952 form, so that one address is one text.
        if (TextToAddress(text) != kAddressNone) {
            m_ipList.AddTail(std::move(text));  // a text held already is not added again
        } else if (std::string ipv6 = CanonicalIpv6Text(text); !ipv6.empty()) {
            m_ipList.AddTail(std::move(ipv6));
        }
    }
    if (m_ipList.IsEmpty()) {
        Refuse(kNoValidAddress, m_addressList.ListHwnd());
        return;
    }
    if (Unchanged()) {
        m_modified = false;
    }
    EndDialog(IDOK);
}

void CDnsItemDlg::OnDestroy() {
    LetLookupGo();
    CDialog::OnDestroy();
}

std::optional<LRESULT> CDnsItemDlg::OnMessage(UINT message, WPARAM, LPARAM) {
    if (message == WM_ITEM_RESOLVED) {
        FinishResolve();
        return 0;
    }
    if (message == WM_SETCURSOR && Resolving()) {
        // Children ask their parent first, so this covers the whole dialog.
        ::SetCursor(::LoadCursorA(nullptr, ResourceName(kWaitCursor)));
        return TRUE;
    }
    return std::nullopt;
}

void CDnsItemDlg::StartResolve() {
    if (!UpdateData(true)) {
        return;
    }
    const std::optional<std::string> domain = ConvertedDomain();
    if (!domain) {
        return;
    }
    const std::vector<std::string> listed = ListedAddresses();
    const bool ipv6 = std::any_of(listed.begin(), listed.end(), [](const std::string& text) {
        return ParseIpv6Text(text).has_value();
    });
    auto lookup = std::make_shared<Lookup>(*domain, ipv6);
    lookup->window = Hwnd();
    ++g_resolvesInFlight;
    try {
        m_lookupThread = std::thread(RunLookup, lookup, m_upstream.Target());
    } catch (const std::system_error&) {
        --g_resolvesInFlight;  // no thread, no lookup: it failed
        ShowMessage(ResolveFailedText(m_shownDomain), MB_OK | MB_ICONEXCLAMATION, Hwnd());
        return;
    }
    m_lookup = std::move(lookup);
    ShowResolving(true);
}

void CDnsItemDlg::RunLookup(const std::shared_ptr<Lookup>& lookup, const UpstreamTarget& target) {
    bool answered = false;
    bool ipv6Renewed = false;
    std::vector<std::string> addresses;
    try {
        DnsItem scratch;
        answered = CDnsCache::GetHostByName(target, lookup->domain, scratch, lookup->ipv6);
        addresses = scratch.Addresses.Texts();
        ipv6Renewed = scratch.Ipv6Known;
        for (std::string& address : scratch.Ipv6Addresses.Texts()) {
            addresses.push_back(std::move(address));
        }
    } catch (...) {
        // Not even asked (no memory, no socket): the lookup failed.
        answered = false;
    }
    {
        const std::lock_guard guard(lookup->lock);
        lookup->ended = true;
        lookup->answered = answered;
        lookup->addresses = std::move(addresses);
        lookup->ipv6Renewed = ipv6Renewed;
        if (lookup->window != nullptr) {
            ::PostMessageA(lookup->window, WM_ITEM_RESOLVED, 0, 0);
        }
    }
    --g_resolvesInFlight;
}

void CDnsItemDlg::FinishResolve() {
    if (m_lookup == nullptr) {
        return;
    }
    bool answered = false;
    std::vector<std::string> addresses;
    {
        const std::lock_guard guard(m_lookup->lock);
        if (!m_lookup->ended) {
            return;
        }
        answered = m_lookup->answered;
        addresses = std::move(m_lookup->addresses);
        if (m_lookup->ipv6 && !m_lookup->ipv6Renewed) {
            // No AAAA answer: the listed IPv6 addresses stay.
            for (std::string& text : ListedAddresses()) {
                if (ParseIpv6Text(text)) {
                    addresses.push_back(std::move(text));
                }
            }
        }
    }
    m_lookupThread.join();  // it has nothing left to do but return
    const std::string domain = m_lookup->domain;
    m_lookup.reset();
    ShowResolving(false);
    if (!answered) {
        // The address list stays as the user left it.
        ShowMessage(ResolveFailedText(DisplayDomain(domain)), MB_OK | MB_ICONEXCLAMATION, Hwnd());
        return;
    }
    // The answer's TTL is not taken: the dialog keeps the one it was given.
    ShowAddresses(addresses);
    ShowMessage(kResolved, MB_OK | MB_ICONINFORMATION, Hwnd());
}

void CDnsItemDlg::LetLookupGo() {
    if (m_lookup == nullptr) {
        return;
    }
    bool ended = false;
    {
        const std::lock_guard guard(m_lookup->lock);
        m_lookup->window = nullptr;
        ended = m_lookup->ended;
    }
    if (ended) {
        m_lookupThread.join();
    } else {
        m_lookupThread.detach();
    }
    m_lookup.reset();
}

void CDnsItemDlg::ShowResolving(bool resolving) {
    if (resolving) {
        m_focusBeforeResolve = ::GetFocus();
    }
    for (int id : {IDOK, IDCANCEL, IDC_RESOLVE}) {
        CWindow(Item(id)).Enable(!resolving);
    }
    // A button that went grey lost the focus; it goes back there.
    if (!resolving && ::GetFocus() != m_focusBeforeResolve &&
        ::IsChild(Hwnd(), m_focusBeforeResolve) != FALSE) {
        Send(WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(m_focusBeforeResolve), TRUE);
    }
    RefreshCursor(Hwnd());
}

void CDnsItemDlg::ShowAddresses(const std::vector<std::string>& addresses) {
    while (m_addressList.GetCount() > 0) {
        m_addressList.RemoveItem(0);
    }
    for (const std::string& address : addresses) {
        m_addressList.AddItem(address);
    }
}

std::vector<std::string> CDnsItemDlg::ListedAddresses() const {
    std::vector<std::string> texts;
    for (int index = 0; index < m_addressList.GetCount(); ++index) {
        texts.push_back(m_addressList.GetItemText(index));
    }
    return texts;
}

bool CDnsItemDlg::Unchanged() const {
    // Exact comparisons: a change of letter case or of the addresses' order is a change.
    return m_domain == m_snapshot.domain && m_ipList.Texts() == m_snapshot.addresses &&
           m_ttl == m_snapshot.ttl;
}

std::optional<std::string> CDnsItemDlg::ConvertedDomain() {
    if (!m_domainEditable) {
        // The entry's own name: its shown form converted back need not be the same bytes.
        return m_domain;
    }
    std::optional<std::string> domain = WireDomain(m_shownDomain);
    if (!domain) {
        Refuse(kUnconvertibleDomain, Item(IDC_ITEM_DOMAIN));
    }
    return domain;
}

void CDnsItemDlg::Refuse(const char* message, HWND control) {
    ShowMessage(message, MB_OK | MB_ICONEXCLAMATION, Hwnd());
    Send(WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
}
