#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/locked_string_list.h"
#include "core/upstream_settings.h"
#include "ui/editable_list_ctrl.h"
#include "win/dialog.h"

// The "Dns Item" dialog: one cache entry's domain and addresses, typed by the user or asked from
// the upstream servers. It never touches the cache: the caller fills the fields, opens it
// with DoModal and reads the fields back after IDOK; after IDCANCEL it ignores them.
//
// "&Resolve" looks the domain up on a thread of its own. The window's thread must never wait
// for the network: the proxy sends every entry it answers from to that thread and waits until it
// has been handled. While the lookup runs the dialog shows the wait cursor and its Resolve, OK
// and Cancel do nothing (also from Enter and Escape); the result comes back through a posted
// message. A dialog that goes while its lookup runs lets the lookup go: the lookup holds only its
// own copies and a state block it shares with the dialog, ends on its own within the upstream
// timeout and then posts nothing.
class CDnsItemDlg : public CDialog {
public:
    // Resolve asks the upstream in use at the moment of the click.
    explicit CDnsItemDlg(const CUpstreamSettings& upstream, HWND parent = nullptr);
    ~CDnsItemDlg() override;

    // As the cache keeps it (an internationalized name in its "xn--" form); the dialog shows and
    // takes it in Unicode.
    std::string m_domain;
    // Carried in and out unseen: its edit is hidden. 0 for a new entry.
    std::uint32_t m_ttl = 0;
    // The addresses, each once, in order: filled by the caller, replaced by OK with the valid
    // rows of the list.
    CLockedStringList m_ipList{true};
    // Cleared by an OK that changed neither the domain, nor the addresses or their order, nor
    // the TTL.
    bool m_modified = true;
    // False makes the domain read-only (an existing entry is edited).
    bool m_domainEditable = true;

    // A lookup of "&Resolve" is under way.
    [[nodiscard]] bool Resolving() const { return m_lookup != nullptr; }
    // The Resolve lookups of this process that have not ended, those let go included.
    static int ResolvesInFlight();

protected:
    bool OnInitDialog() override;
    void DoDataExchange(CDataExchange& exchange) override;
    bool OnCommand(int id, int code, HWND control) override;
    void OnOK() override;
    void OnDestroy() override;
    std::optional<LRESULT> OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    struct Lookup;
    // What the dialog showed when it opened, to tell whether OK changed anything.
    struct Snapshot {
        std::string domain;
        std::vector<std::string> addresses;
        std::uint32_t ttl = 0;
    };

    void StartResolve();
    static void RunLookup(const std::shared_ptr<Lookup>& lookup, const UpstreamTarget& target);
    // Takes the result of a lookup that has ended: joins its thread and shows the outcome.
    void FinishResolve();
    // Stops caring for a running lookup (see above); joins one that has ended.
    void LetLookupGo();
    void ShowResolving(bool resolving);

    void ShowAddresses(const std::vector<std::string>& addresses);
    [[nodiscard]] std::vector<std::string> ListedAddresses() const;
    [[nodiscard]] bool Unchanged() const;
    // The domain shown in the edit in the form the cache keeps; none, told to the user, when the
    // system's conversion refuses it.
    [[nodiscard]] std::optional<std::string> ConvertedDomain();
    // Tells the user why OK can't close and puts the focus where the fault is.
    void Refuse(const char* message, HWND control);

    const CUpstreamSettings& m_upstream;
    CEditableListCtrl m_addressList;
    Snapshot m_snapshot;
    // The domain as the edit shows it.
    std::string m_shownDomain;
    std::shared_ptr<Lookup> m_lookup;
    std::thread m_lookupThread;
    // The control that had the focus when the lookup began; it may be a button that goes grey.
    HWND m_focusBeforeResolve = nullptr;
};
