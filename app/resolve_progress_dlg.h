#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "app/resolve_job.h"
#include "win/dialog.h"

// The modal window of a batch run: the run's caption, the worker's latest progress text and a bar
// of the rows finished. Its "&Cancel" button, Escape and the close box all decide alike: once the
// bar is full the button reads "Finished" and the window closes as finished (DoModal gives
// IDOK); before that the user is asked and, on Yes, the window closes as cancelled (IDCANCEL).
// The worker closes it through the close box when it is done.
class CResolveProgressDlg : public CDialog {
public:
    CResolveProgressDlg(HWND parent, ResolveJob& job, std::string caption);

protected:
    bool OnInitDialog() override;
    bool OnCommand(int id, int code, HWND control) override;
    // Enter (the template has no OK button) and Escape decide as the button does.
    void OnOK() override;
    void OnCancel() override;
    bool OnClose() override;
    void OnDestroy() override;
    std::optional<LRESULT> OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    void ShowProgress(const std::string& text, int position);
    // Whatever asked for it: finished, or cancelled when the user confirms.
    void RequestClose();
    // The bar is full: the button reads "Finished".
    [[nodiscard]] bool Full() const;
    void Close(bool cancelled);

    ResolveJob& m_job;
    std::string m_caption;
    // The stop question is open: a second request waits for its answer.
    bool m_asking = false;
    bool m_closed = false;
};
