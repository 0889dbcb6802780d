// Names that the program and its installer's helper share. The resource compiler reads this file
// too: it sees only the definitions.
#pragma once

// Every version's main dialog has this caption followed by its version number; the installer's
// own windows ("Quillforth 1.80 (64-bit) Setup") do not.
#define QF_CAPTION_PREFIX "Quillforth v"

#ifndef RC_INVOKED
inline constexpr char kMainCaptionPrefix[] = QF_CAPTION_PREFIX;
// The mutex that keeps a second copy of the program from running; it lives as long as the copy
// that created it.
inline constexpr char kSingleInstanceMutex[] = "{4F1E2A90-7C3B-4D52-M7PA-0B9D6E3A1C74}_QUILLFORTH";
#endif
