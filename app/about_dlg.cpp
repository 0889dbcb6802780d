#include "app/about_dlg.h"

#include <utility>

#include "res/resource.h"

CAboutDlg::CAboutDlg(HWND parent, UrlOpenFunction open)
    : CDialog(IDD_ABOUTBOX, parent),
      m_open(std::move(open)),
      m_WebLink(LinkOpener()),
      m_MailLink(LinkOpener()) {}

CLinkStatic::Opener CAboutDlg::LinkOpener() {
    return [this](const std::string& url) { return OpenHyperlink(Hwnd(), url, m_open); };
}

bool CAboutDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    m_WebLink.AttachLink(Item(IDC_WEB_LINK));
    m_MailLink.AttachLink(Item(IDC_MAIL_LINK));
    m_WebLink.SetURL(CWindow(Item(IDC_WEB_LINK)).GetText());
    m_MailLink.SetURL("mailto:" + CWindow(Item(IDC_MAIL_LINK)).GetText());
    return true;
}
