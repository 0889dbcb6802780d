#pragma once

#include <windows.h>

#include <string_view>

// Every message to the user goes through here: a message box captioned with the application's
// name, owned by `owner` or, when none is given, by the thread's active window so that it stays
// in front of the dialog the user is working in. `type` chooses the buttons and the icon
// (MB_OK, MB_YESNO, MB_ICONEXCLAMATION, ...). Returns the button pressed (IDOK, IDYES, ...), or
// IDCANCEL without a box once the program is ending (CDialog::EndEveryModalLoop).
int ShowMessage(std::string_view text, UINT type = MB_OK, HWND owner = nullptr);
