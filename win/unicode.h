#pragma once

#include <windows.h>

#include <string>
#include <string_view>

// The program holds its texts in UTF-8, the manifest's code page; the wide calls of Windows take
// UTF-16. Where a text comes from or goes to the system (paths, what the user types or is shown,
// the system's error texts), the wide calls are used: they are right whatever the process's code
// page is, also on Windows versions that ignore the manifest's.
//
// A byte sequence that is not UTF-8, or an unpaired surrogate, becomes U+FFFD, the replacement
// character; the Exactly forms fail instead and leave the output alone.
std::wstring ToUtf16(std::string_view utf8);
std::string ToUtf8(std::wstring_view utf16);
bool ToUtf16Exactly(std::string_view utf8, std::wstring& utf16);
bool ToUtf8Exactly(std::wstring_view utf16, std::string& utf8);

// The system's text for an error number (GetLastError), in the user's language, without the line
// break it ends with; the number alone when the system has no text for it.
std::string SystemErrorText(DWORD error);
