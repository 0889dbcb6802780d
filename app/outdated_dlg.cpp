#include "app/outdated_dlg.h"

#include "res/resource.h"
#include "win/data_exchange.h"
#include "win/message_box.h"

namespace {

constexpr char kHoursOutOfRange[] = "The value of hours must be between 1 and 100.";
constexpr std::time_t kSecondsPerHour = 3600;

}  // namespace

COutdatedDlg::COutdatedDlg(HWND parent) : CDialog(IDD_OUTDATED, parent) {}

void COutdatedDlg::DoDataExchange(CDataExchange& exchange) {
    exchange.Text(IDC_OUTDATED_HOURS, m_hours);
}

void COutdatedDlg::OnOK() {
    if (!UpdateData(true)) {
        return;  // not a whole number: the user has been told
    }
    if (m_hours < kMinOutdatedHours || m_hours > kMaxOutdatedHours) {
        ShowMessage(kHoursOutOfRange, MB_OK | MB_ICONEXCLAMATION, Hwnd());
        HWND edit = Item(IDC_OUTDATED_HOURS);
        Send(WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(edit), TRUE);
        return;
    }
    EndDialog(IDOK);
}

std::vector<DnsItemPtr> RemoveOutdated(CDnsItemMap& cache, int hours, std::time_t now) {
    std::vector<DnsItemPtr> outdated;
    auto lock = cache.Lock();
    cache.ForEach([&](const std::string&, const DnsItemPtr& item) {
        if ((now - item->LastHitDate) / kSecondsPerHour > hours) {
            outdated.push_back(item);
        }
    });
    for (const DnsItemPtr& item : outdated) {
        cache.RemoveKey(item->Domain);
    }
    return outdated;
}
