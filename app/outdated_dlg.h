#pragma once

#include <windows.h>

#include <ctime>
#include <vector>

#include "core/dns_item_map.h"
#include "win/dialog.h"

// The hours that Delete Outdated accepts.
inline constexpr int kMinOutdatedHours = 1;
inline constexpr int kMaxOutdatedHours = 100;

// "Outdated DNS Items": asks how many hours without a hit make an entry outdated. OK keeps the
// dialog open until the field holds a whole number from 1 to 100; m_hours holds it after IDOK.
class COutdatedDlg : public CDialog {
public:
    explicit COutdatedDlg(HWND parent = nullptr);

    int m_hours = kMinOutdatedHours;

protected:
    void DoDataExchange(CDataExchange& exchange) override;
    void OnOK() override;
};

// Removes from the cache, under its lock, every entry whose last hit lies more than `hours` whole
// hours before `now` (the hours counted down to a whole number): an entry never hit always goes,
// one hit in the future always stays. Returns the entries removed, for their rows.
std::vector<DnsItemPtr> RemoveOutdated(CDnsItemMap& cache, int hours, std::time_t now);
