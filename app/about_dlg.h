#pragma once

#include <windows.h>

#include "app/launch.h"
#include "ui/link_static.h"
#include "win/dialog.h"

// "About Quillforth": the product, its maker, and links to the maker's web site and support
// address. Modal.
class CAboutDlg : public CDialog {
public:
    // `open` opens the links' targets (GotoURL unless a test stands in).
    explicit CAboutDlg(HWND parent, UrlOpenFunction open = GotoURL);

    [[nodiscard]] const CLinkStatic& WebLink() const { return m_webLink; }
    [[nodiscard]] const CLinkStatic& MailLink() const { return m_mailLink; }

protected:
    bool OnInitDialog() override;

private:
    [[nodiscard]] CLinkStatic::Opener LinkOpener();

    UrlOpenFunction m_open;
    CLinkStatic m_webLink;
    CLinkStatic m_mailLink;
};
