#pragma once

#include <string>
#include <string_view>

// "Start at login": a task of the Task Scheduler that starts the program when the user logs on.
// The Task Scheduler starts it with the user's highest rights and without a prompt; a Run value
// would start it with the filtered token of a UAC machine, where it could change nothing.
inline constexpr wchar_t kLogonTaskName[] = L"Quillforth";

// The task's definition in the Task Scheduler's XML: a logon trigger for `user` ("DOMAIN\name"),
// run as that user, interactively, at the highest run level; the executable's path in quotes;
// no time limit, started and kept running on battery power, never a second copy.
std::wstring LogonTaskDefinition(std::wstring_view user, std::wstring_view executablePath);

// The user who runs this program as "DOMAIN\name"; empty when the system cannot tell.
std::wstring CurrentUserName();

// Registers the task, replacing one of the same name, for the user who runs this program and
// the running executable. False when the Task Scheduler refuses (without administrator rights,
// for instance) or the user is unknown.
bool RegisterLogonTask();
// Deletes the task: true when it is gone, also when there was none.
bool DeleteLogonTask();
