#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "cache/replace_file.h"

namespace {

bool WriteAll(int file, std::string_view content) {
    while (!content.empty()) {
        const ssize_t written = write(file, content.data(), content.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        content.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

}  // namespace

bool WriteWholeFile(const std::string& path, std::string_view content, const std::string& replacing,
                    int& error) {
    // A cache of 0600 (every name the machine looked up) stays so; a new one follows the umask.
    struct stat old {};
    const bool keepMode = stat(replacing.c_str(), &old) == 0;
    const mode_t mode = keepMode ? old.st_mode & 0777 : 0666;
    const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (file < 0) {
        error = errno;
        return false;
    }
    // Exactly the old mode, whatever the umask or a temporary file left behind had.
    bool ok = (!keepMode || fchmod(file, old.st_mode & 07777) == 0) && WriteAll(file, content) &&
              fsync(file) == 0;
    if (!ok) {
        error = errno;
    }
    // Closing can report a write that failed late; the file is closed either way.
    if (close(file) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        unlink(path.c_str());
    }
    return ok;
}

bool ReplaceFileWith(const std::string& from, const std::string& to, int& error) {
    if (std::rename(from.c_str(), to.c_str()) != 0) {
        error = errno;
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

void RemoveFile(const std::string& path) {
    unlink(path.c_str());
}

OpenFailure WhyNotReadable(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0 && (errno == ENOENT || errno == ENOTDIR)) {
        return OpenFailure::kMissing;
    }
    return OpenFailure::kOther;
}
