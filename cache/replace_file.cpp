#include "cache/replace_file.h"

bool WriteFileReplacing(const std::string& path, std::string_view content) {
    const std::string temp = path + ".tmp";
    std::FILE* file = std::fopen(temp.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    bool ok = std::fwrite(content.data(), 1, content.size(), file) == content.size();
    ok = ok && std::fflush(file) == 0;
    ok = ok && FlushFileToDisk(file);
    // Closing can report a write that failed late; the file is closed either way.
    ok = std::fclose(file) == 0 && ok;
    ok = ok && ReplaceFileWith(temp, path);
    if (!ok) {
        std::remove(temp.c_str());
    }
    return ok;
}
