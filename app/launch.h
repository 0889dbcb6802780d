#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <string_view>

// Handing the user over to programs outside Quillforth: web and mail links, the system's
// name-lookup tool and the donation page. The program runs with administrator rights, and the
// browser or mail program that a link starts is chosen by file associations that any program of
// the user may change: it never starts them itself. The desktop's shell, which runs with the
// user's own rights, is asked to open a link; where there is none, the link's address goes to
// the clipboard for the user to paste. A program of the system starts by its full path from the
// system folder, never looked for where another could have been put first.

// What became of a link.
enum class LinkOutcome {
    kOpened,  // the desktop's shell took it
    kCopied,  // no desktop shell to ask: the address is on the clipboard
    kFailed,  // neither
};

// Asks the desktop's shell (Explorer) to open `target`, as a user's double click would; false
// when there is no desktop shell or it refused.
bool OpenAsDesktopUser(const std::string& target);
using DesktopOpenFunction = std::function<bool(const std::string& target)>;

// Opens a link through `open`, or else puts its address on the clipboard, held by `owner`.
LinkOutcome OpenLink(HWND owner, const std::string& url,
                     const DesktopOpenFunction& open = OpenAsDesktopUser);

// What the status box says while a link's address waits on the clipboard.
inline constexpr char kLinkCopiedNotice[] = "Link copied: paste it in a browser";
// How long it says so.
inline constexpr int kLinkCopiedNoticeSeconds = 60;

// "Unable to open hyperlink:\n\n" and the address, which could be neither opened nor copied.
std::string HyperlinkErrorText(std::string_view url);

// A click on a link: opens it; `copied` hears when its address went to the clipboard instead,
// and a link that could be neither opened nor copied beeps and tells the user. Whether the link
// was opened.
bool OpenHyperlink(HWND owner, const std::string& url, const DesktopOpenFunction& open,
                   const std::function<void()>& copied);

// The donation page of the maker, opened by "&Donate" in the user's web browser.
inline constexpr char kDonationPage[] = "https://veltmark.example/quillforth/donate";
inline constexpr char kNslookupProgram[] = "nslookup.exe";
// What the user reads when a program or page cannot be started: its name and
// " : File not found or Bad file!".
std::string LaunchFailureText(std::string_view target);

// "&Nslookup": starts the system folder's name-lookup tool in a console of its own; tells the
// user when it cannot.
void RunNslookup(HWND owner);
// "&Donate": opens the donation page as a link; tells the user when it could be neither opened
// nor copied.
LinkOutcome OpenDonationPage(HWND owner, const DesktopOpenFunction& open = OpenAsDesktopUser);
