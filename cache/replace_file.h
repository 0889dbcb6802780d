#pragma once

#include <string>
#include <string_view>

// Puts `content` in the file at `path` (UTF-8) without ever losing the previous file: the text
// goes to "<path>.tmp" beside it, is flushed to disk, and only then takes the old file's place.
// Any failure (the temporary file can't be created, a write, flush or close fails, the old file
// can't be replaced) removes the temporary file, leaves the old file as it was and gives false,
// with the system's error number (GetLastError on Windows, errno elsewhere) in `error`.
bool WriteFileReplacing(const std::string& path, std::string_view content, int& error);

// The platform's steps, one file per platform; paths are UTF-8, and a failure gives the system's
// error number.
// Creates or empties the file, writes `content` and pushes it from the system's cache to the disk;
// a file that could not be written whole is removed again. On POSIX it takes the permissions of
// the file it will replace, when that exists, so that a save never opens the file to others.
bool WriteWholeFile(const std::string& path, std::string_view content, const std::string& replacing,
                    int& error);
// Moves the complete file `from` onto `to` in one step, replacing `to` if it exists.
bool ReplaceFileWith(const std::string& from, const std::string& to, int& error);
void RemoveFile(const std::string& path);

// Why a file could not be opened for reading: it is not there (nor is its folder), another
// program holds it for the moment (Windows' sharing and lock violations; never elsewhere), or
// anything else (no access, a folder of that name, a file that is not on the disk).
enum class OpenFailure { kMissing, kHeld, kOther };
OpenFailure WhyNotReadable(const std::string& path);
