#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "cache/replace_file.h"

bool FlushFileToDisk(std::FILE* file) {
    return fsync(fileno(file)) == 0;
}

bool ReplaceFileWith(const std::string& from, const std::string& to) {
    if (std::rename(from.c_str(), to.c_str()) != 0) {
        return false;
    }
    // The rename itself reaches the disk with the folder. The new file is in place already, so
    // a folder that can't be synced does not make the save fail.
    const std::size_t slash = to.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : to.substr(0, slash + 1);
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return true;
}
