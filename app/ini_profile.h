#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Typed access to one INI file through the system's private-profile functions (their wide forms:
// the file's path and its values are UTF-8 here, whatever the process's code page); every value
// is read and written whole whatever its length. Windows reads a file without a byte order mark
// in the process's code page (UTF-8 under the program's manifest), an older version's non-ASCII
// byte as U+FFFD, the replacement character.
//
// Integers and booleans are read with the decimal prefix conversion (leading blanks, an
// optional sign and the digits that follow; text without digits reads 0; a number beyond the
// 32-bit range reads as the nearest end of it) and written as decimal text, booleans as "1" or
// "0". A missing key reads as the default given.
class CIniProfile {
public:
    // The default file: the executable's directory and base name with ".ini"; the section is
    // named after the application until SetSection changes it.
    CIniProfile();
    // A file of the caller's: a relative path is resolved against the executable's directory
    // (module-relative) or the current directory; an absolute one is used unchanged.
    explicit CIniProfile(std::string_view path, bool moduleRelative = true);

    [[nodiscard]] const std::string& Path() const { return m_path; }
    void SetSection(std::string_view section) { m_section = section; }

    // Each operation works on the current section; a section passed to it becomes the current
    // one first.
    std::string ReadString(std::string_view key, std::string_view defaultText = {},
                           std::string_view section = {});
    int ReadInt(std::string_view key, int defaultValue, std::string_view section = {});
    bool ReadBool(std::string_view key, bool defaultValue, std::string_view section = {});
    // False when the file could not be written (the error is kept for TakeWriteFailure).
    bool WriteString(std::string_view key, std::string_view text, std::string_view section = {});
    bool WriteInt(std::string_view key, int value, std::string_view section = {});
    bool WriteBool(std::string_view key, bool value, std::string_view section = {});

    // The system's error number of the first write that failed since the last call, if any.
    std::optional<unsigned long> TakeWriteFailure();
    // The keys read since the last call whose stored text was not all readable (bytes that are
    // not UTF-8, an unpaired surrogate): what could not be read came back as U+FFFD.
    std::vector<std::string> TakeUnreadableKeys();

private:
    std::string ResolvePath(std::string_view path) const;
    void UseSection(std::string_view section);

    bool m_moduleRelative = true;
    std::string m_path;
    std::string m_section;
    std::optional<unsigned long> m_writeFailure;
    std::vector<std::string> m_unreadableKeys;
};

// The decimal prefix conversion of the INI store.
int DecimalPrefix(std::string_view text);
