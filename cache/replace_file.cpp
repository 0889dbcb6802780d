#include "cache/replace_file.h"

bool WriteFileReplacing(const std::string& path, std::string_view content, int& error) {
    const std::string temp = path + ".tmp";
    if (!WriteWholeFile(temp, content, path, error)) {
        return false;
    }
    if (!ReplaceFileWith(temp, path, error)) {
        RemoveFile(temp);
        return false;
    }
    return true;
}
