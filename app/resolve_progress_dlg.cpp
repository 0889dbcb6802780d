#include "app/resolve_progress_dlg.h"

#include <utility>

#include "res/resource.h"
#include "res/window_messages.h"
#include "win/controls.h"
#include "win/message_box.h"

namespace {

constexpr char kFinished[] = "Finished";
constexpr char kStopQuestion[] = "Are you sure to stop this progress ?";
constexpr int kInitialRange = 100;

}  // namespace

CResolveProgressDlg::CResolveProgressDlg(HWND parent, ResolveJob& job, std::string caption)
    : CDialog(IDD_RESOLVE_PROGRESS, parent), m_job(job), m_caption(std::move(caption)) {}

bool CResolveProgressDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    CProgressBar bar(Item(IDC_PROGRESS_BAR));
    bar.SetRange(0, kInitialRange);
    bar.SetPos(0);
    CWindow(Item(IDC_PROGRESS_TEXT)).SetText("");
    CWindow(Item(IDC_PROGRESS_CAPTION)).SetText(m_caption);
    // Only now may the worker send its range and first progress: they must find the window.
    m_job.AttachWindow(Hwnd());
    return true;
}

bool CResolveProgressDlg::OnCommand(int id, int code, HWND control) {
    if (id == IDC_PROGRESS_CANCEL) {
        RequestClose();
        return true;
    }
    return CDialog::OnCommand(id, code, control);
}

void CResolveProgressDlg::OnOK() {
    RequestClose();
}

void CResolveProgressDlg::OnCancel() {
    RequestClose();
}

bool CResolveProgressDlg::OnClose() {
    RequestClose();
    return true;
}

void CResolveProgressDlg::OnDestroy() {
    // However the window goes, the worker no longer sends to it.
    m_job.DetachWindow(!m_closed);
    CDialog::OnDestroy();
}

std::optional<LRESULT> CResolveProgressDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != WM_RESOLVE_PROGRESS) {
        return std::nullopt;
    }
    ShowProgress(*reinterpret_cast<const std::string*>(wParam), static_cast<int>(lParam));
    return 0;
}

void CResolveProgressDlg::ShowProgress(const std::string& text, int position) {
    CWindow(Item(IDC_PROGRESS_TEXT)).SetText(text);
    CProgressBar bar(Item(IDC_PROGRESS_BAR));
    bar.SetPos(position);
    if (position >= bar.GetUpperBound()) {
        CWindow(Item(IDC_PROGRESS_CANCEL)).SetText(kFinished);
    }
}

void CResolveProgressDlg::RequestClose() {
    if (m_closed) {
        return;
    }
    if (Full()) {
        Close(false);
        return;
    }
    if (m_asking) {
        return;
    }
    m_asking = true;
    const int answer = ShowMessage(kStopQuestion, MB_YESNO | MB_ICONQUESTION, Hwnd());
    m_asking = false;
    // The last row may have come in while the question was open: the run finished.
    if (answer == IDYES && !m_closed) {
        Close(!Full());
    }
}

bool CResolveProgressDlg::Full() const {
    return CWindow(Item(IDC_PROGRESS_CANCEL)).GetText() == kFinished;
}

void CResolveProgressDlg::Close(bool cancelled) {
    m_closed = true;
    // At once, not when the window goes: a cancelled worker stops before its next row.
    m_job.DetachWindow(cancelled);
    EndDialog(cancelled ? IDCANCEL : IDOK);
}
