#pragma once

#include <string>
#include <string_view>

// Typed access to one INI file through the system's private-profile functions; every value is
// 8-bit text, read and written whole whatever its length.
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
    void WriteString(std::string_view key, std::string_view text, std::string_view section = {});
    void WriteInt(std::string_view key, int value, std::string_view section = {});
    void WriteBool(std::string_view key, bool value, std::string_view section = {});

private:
    std::string ResolvePath(std::string_view path) const;
    void UseSection(std::string_view section);

    bool m_moduleRelative = true;
    std::string m_path;
    std::string m_section;
};

// The decimal prefix conversion of the INI store.
int DecimalPrefix(std::string_view text);
