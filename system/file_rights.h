#pragma once

#include <windows.h>

#include <string>

// Who may change a file or folder, read from its security descriptor: the program asks before it
// lets the Task Scheduler start it with administrator rights, which would otherwise go to any
// program that can replace it, or put a library that it loads beside it.

// Whether anyone but the system, the administrators and the Windows installer service may change
// what `descriptor` guards: write or append to it, add or delete files in it, delete or rename it,
// or change its permissions or owner. An owner outside those may change the permissions, and a
// missing DACL lets everyone do everything. A rule that applies only to what is made inside
// (inherit-only) does not count; a denying one is not relied on.
bool StandardUsersMayChange(PSECURITY_DESCRIPTOR descriptor);
// The same for the file or folder at `path`; true when its descriptor cannot be read.
bool StandardUsersMayChange(const std::wstring& path);
