// Names that the program and its installer's helper share. The resource compiler reads this file
// too: it sees only the definitions.
#pragma once

// Every version's main dialog has this caption followed by its version number; the installer's
// own windows ("Quillforth 1.80 (64-bit) Setup") do not.
#define QF_CAPTION_PREFIX "Quillforth v"

#ifndef RC_INVOKED
inline constexpr char kMainCaptionPrefix[] = QF_CAPTION_PREFIX;
// The mutexes that keep a second copy of the program from running; each lives as long as the copy
// that created it. One in the session's namespace, as older versions make it, then one for the
// whole machine: the adapters and port 53 are the machine's, whoever's session a copy runs in.
inline constexpr char kSessionInstanceMutex[] = "{4F1E2A90-7C3B-4D52-M7PA-0B9D6E3A1C74}_QUILLFORTH";
inline constexpr char kMachineInstanceMutex[] =
    "Global\\{4F1E2A90-7C3B-4D52-M7PA-0B9D6E3A1C74}_QUILLFORTH";
#endif
