#include <windows.h>
// <io.h> after <windows.h>: it only needs the CRT's declarations.
#include <io.h>

#include <cstdint>
#include <cstdio>

#include "cache/replace_file.h"

bool FlushFileToDisk(std::FILE* file) {
    const std::intptr_t handle = _get_osfhandle(_fileno(file));
    if (handle == -1) {
        return false;
    }
    return FlushFileBuffers(reinterpret_cast<HANDLE>(handle)) != FALSE;
}

bool ReplaceFileWith(const std::string& from, const std::string& to) {
    return MoveFileExA(from.c_str(), to.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}
