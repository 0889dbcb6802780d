#pragma once

// What quillforthd needs of the operating system besides sockets.

#include <string>
#include <vector>

// The arguments after the program's name, in UTF-8 as the cache file's path must be: on Windows
// from the wide command line, whatever the console's code page.
std::vector<std::string> DaemonArguments(int argc, char** argv);

// Prepares the process before any thread starts: Windows Sockets on Windows; on Linux, SIGINT,
// SIGTERM and SIGHUP are blocked in every thread so that only WaitForStopSignal takes them. False
// when that fails.
bool PrepareDaemonProcess();

// Blocks until the user asks the daemon to end: SIGINT, SIGTERM or SIGHUP on Linux, Ctrl+C,
// Ctrl+Break, the console being closed or the end of the session (logoff, shutdown) on Windows.
void WaitForStopSignal();
