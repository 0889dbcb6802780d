#pragma once

#include <cstdio>
#include <string>
#include <string_view>

// Puts `content` in the file at `path` without ever losing the previous file: the text goes to
// "<path>.tmp" beside it, is flushed to disk, and only then takes the old file's place. Any
// failure (the temporary file can't be created, a write, flush or close fails, the old file
// can't be replaced) removes the temporary file, leaves the old file as it was and gives false.
bool WriteFileReplacing(const std::string& path, std::string_view content);

// The platform's steps, one file per platform.
// Pushes what was written to `file` (already fflush-ed) from the system's cache to the disk.
bool FlushFileToDisk(std::FILE* file);
// Moves the complete file `from` onto `to` in one step, replacing `to` if it exists.
bool ReplaceFileWith(const std::string& from, const std::string& to);
