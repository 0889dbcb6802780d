#pragma once

#include <windows.h>

#include <functional>

#include "app/launch.h"
#include "ui/link_static.h"
#include "win/dialog.h"

// "About Quillforth": the product, its maker, and links to the maker's web site and support
// address. Modal.
class CAboutDlg : public CDialog {
public:
    // `open` opens the links' targets (OpenAsDesktopUser unless a test stands in); `copied` hears
    // of a link whose address went to the clipboard instead.
    explicit CAboutDlg(HWND parent, DesktopOpenFunction open = OpenAsDesktopUser,
                       std::function<void()> copied = {});

    [[nodiscard]] const CLinkStatic& WebLink() const { return m_webLink; }
    [[nodiscard]] const CLinkStatic& MailLink() const { return m_mailLink; }

protected:
    bool OnInitDialog() override;

private:
    [[nodiscard]] CLinkStatic::Opener LinkOpener();

    DesktopOpenFunction m_open;
    std::function<void()> m_copied;
    CLinkStatic m_webLink;
    CLinkStatic m_mailLink;
};
