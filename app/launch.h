#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>

// Handing the user over to programs outside Quillforth: web and mail links, the system's
// name-lookup tool and the donation page. Every launch reports as the shell does: a value above
// 32 is success, 32 or less is the error code.

// The shell's "open" of a file, a program or a URL, with `parameters` for a program (empty:
// none) and the show command `show`; `owner` parents any window the shell shows.
using ShellOpenFunction = std::function<INT_PTR(HWND owner, const std::string& file,
                                                const std::string& parameters, int show)>;
INT_PTR ShellOpen(HWND owner, const std::string& file, const std::string& parameters, int show);

// Opens a URL with the shell. When the shell refuses it, the browser of the ".htm" association
// is started with the URL instead; when there is no such association, the shell's error code
// is returned.
INT_PTR GotoURL(const std::string& url, int show);

// The command line that starts the ".htm" association's browser on `url`: the association's
// command cut where its placeholder ("%1", in quotes or not) begins, then a space and the URL;
// a command without a placeholder gets the space and the URL at its end.
std::string BrowserCommandLine(std::string_view command, std::string_view url);
// The ".htm" association's open command as the registry holds it, or none.
std::optional<std::string> HtmOpenCommand();

// "Unable to open hyperlink:\n\n" and what a launch's error code means.
std::string HyperlinkErrorText(INT_PTR result);

// How a link opens its URL with a show command: GotoURL, or a stand-in.
using UrlOpenFunction = std::function<INT_PTR(const std::string& url, int show)>;
// A click on a link: opens the URL shown normally; when that fails, beeps and tells the user
// why. Whether the URL was opened.
bool OpenHyperlink(HWND owner, const std::string& url, const UrlOpenFunction& open = GotoURL);

// The donation page of the maker, opened by "&Donate" in the system's web browser.
inline constexpr char kDonationPage[] = "https://veltmark.example/quillforth/donate";
inline constexpr char kNslookupProgram[] = "nslookup.exe";
// What the user reads when a program or page cannot be started: its name and
// " : File not found or Bad file!".
std::string LaunchFailureText(std::string_view target);

// "&Nslookup": starts the system's name-lookup tool; tells the user when the shell cannot.
void RunNslookup(HWND owner, const ShellOpenFunction& open = ShellOpen);
// "&Donate": opens the donation page; tells the user when the shell cannot.
void OpenDonationPage(HWND owner, const ShellOpenFunction& open = ShellOpen);
