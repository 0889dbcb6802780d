#pragma once

#include <string>
#include <string_view>

// "Start at login": a task of the Task Scheduler that starts the program when the user logs on.
// The Task Scheduler starts it with the user's highest rights and without a prompt; a Run value
// would start it with the filtered token of a UAC machine, where it could change nothing. Each
// user has a task of their own, so that each user's choice is their own.

// The user's task: "Quillforth (ann on WORKGROUP)" for "WORKGROUP\ann".
std::wstring LogonTaskName(std::wstring_view user);
// The one task that older versions registered for whoever started the program last.
inline constexpr wchar_t kSharedLogonTaskName[] = L"Quillforth";

// Whether the elevated task may start the running executable: only when standard users can change
// neither it nor its folder, as in Program Files. Elsewhere (a portable copy in a writable folder)
// any program that the user runs could put its own program there, or a library that the program
// loads, and have it started with administrator rights at the next logon.
bool LogonTaskAllowed();

// The task's definition in the Task Scheduler's XML: a logon trigger for `user` ("DOMAIN\name"),
// run as that user, interactively, at the highest run level; the executable's path in quotes;
// no time limit, started and kept running on battery power, never a second copy.
std::wstring LogonTaskDefinition(std::wstring_view user, std::wstring_view executablePath);

// The user who runs this program as "DOMAIN\name"; empty when the system cannot tell.
std::wstring CurrentUserName();

// Registers the user's task, replacing one of the same name, for the user who runs this program
// and the running executable. False when the Task Scheduler refuses (without administrator rights,
// for instance) or the user is unknown.
bool RegisterLogonTask();
// Deletes the user's task and the shared task of older versions: true when both are gone, also
// when there was none.
bool DeleteLogonTask();
// Deletes every user's task and the shared one, as the uninstaller does: true when all are gone.
bool DeleteEveryLogonTask();
