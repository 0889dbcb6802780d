#include "app/about_dlg.h"

#include <utility>

#include "res/resource.h"

CAboutDlg::CAboutDlg(HWND parent, DesktopOpenFunction open, std::function<void()> copied)
    : CDialog(IDD_ABOUTBOX, parent),
      m_open(std::move(open)),
      m_copied(std::move(copied)),
      m_webLink(LinkOpener()),
      m_mailLink(LinkOpener()) {}

CLinkStatic::Opener CAboutDlg::LinkOpener() {
    return [this](const std::string& url) { return OpenHyperlink(Hwnd(), url, m_open, m_copied); };
}

bool CAboutDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    m_webLink.AttachLink(Item(IDC_WEB_LINK));
    m_mailLink.AttachLink(Item(IDC_MAIL_LINK));
    m_webLink.SetURL(CWindow(Item(IDC_WEB_LINK)).GetText());
    m_mailLink.SetURL("mailto:" + CWindow(Item(IDC_MAIL_LINK)).GetText());
    // The links are tab stops before it: Enter on the box just opened still means OK.
    CWindow(Item(IDOK)).Focus();
    return false;
}
