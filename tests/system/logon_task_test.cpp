#include "system/logon_task.h"

#include <windows.h>

#include <sddl.h>

#include <gtest/gtest.h>

#include <string>

#include "system/file_rights.h"

namespace {

// The text inside the first element `tag` of `xml` (a tag may carry attributes: <Principal
// id="Author">); "<none>" when there is no such element.
std::wstring Inner(const std::wstring& xml, const std::wstring& tag) {
    const std::wstring open = L"<" + tag + L">";
    const size_t start = xml.find(open);
    const size_t end = xml.find(L"</" + tag.substr(0, tag.find(L' ')) + L">");
    if (start == std::wstring::npos || end == std::wstring::npos || end < start) {
        return L"<none>";
    }
    return xml.substr(start + open.size(), end - start - open.size());
}

// What the Task Scheduler gets: started at this user's logon, as this user with the highest
// rights, the program's path quoted (and "&" escaped) so that no other program starts instead,
// never ended after a time limit or when the computer goes on battery.
TEST(LogonTask, DefinitionStartsTheQuotedProgramElevatedAtTheUsersLogon) {
    const std::wstring xml =
        LogonTaskDefinition(L"WORKGROUP\\ann", L"C:\\Program Files\\A & B\\Quillforth.exe");
    const struct {
        const wchar_t* outer;
        const wchar_t* element;
        const wchar_t* text;
    } kExpected[] = {
        {L"LogonTrigger", L"UserId", L"WORKGROUP\\ann"},
        {L"Principal id=\"Author\"", L"UserId", L"WORKGROUP\\ann"},
        {L"Principal id=\"Author\"", L"RunLevel", L"HighestAvailable"},
        {L"Principal id=\"Author\"", L"LogonType", L"InteractiveToken"},
        {L"Exec", L"Command", L"\"C:\\Program Files\\A &amp; B\\Quillforth.exe\""},
        {L"Settings", L"ExecutionTimeLimit", L"PT0S"},
        {L"Settings", L"DisallowStartIfOnBatteries", L"false"},
        {L"Settings", L"StopIfGoingOnBatteries", L"false"},
    };
    for (const auto& expected : kExpected) {
        const std::wstring where = std::wstring(expected.outer) + L"/" + expected.element;
        EXPECT_EQ(Inner(Inner(xml, expected.outer), expected.element), expected.text) << where;
    }
    EXPECT_FALSE(CurrentUserName().empty());
    EXPECT_EQ(LogonTaskName(L"WORKGROUP\\ann"), L"Quillforth (ann on WORKGROUP)");
}

// Each user's task is their own: registering makes this user's, deleting removes it. Wine keeps
// a task as a file of its name.
TEST(LogonTask, IsRegisteredAndDeletedUnderTheUsersOwnName) {
    wchar_t folder[MAX_PATH] = {};
    const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
    const std::wstring file =
        std::wstring(folder, length) + L"\\tasks\\" + LogonTaskName(CurrentUserName());
    ASSERT_TRUE(RegisterLogonTask());
    EXPECT_NE(::GetFileAttributesW(file.c_str()), INVALID_FILE_ATTRIBUTES);
    ASSERT_TRUE(DeleteLogonTask());
    EXPECT_EQ(::GetFileAttributesW(file.c_str()), INVALID_FILE_ATTRIBUTES);
}

// Who may change a folder or file, read from its security descriptor: anyone beyond the system,
// the administrators and the installer service with a right to write, append, delete or change
// the permissions counts, and so does an owner outside them, or no DACL at all; a rule only for
// what is made inside does not. A descriptor that cannot be read counts as changeable.
TEST(FileRights, OnlyTheSystemAndTheAdministratorsMayChangeAProtectedFolder) {
    const std::wstring installer =
        L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
    const struct {
        std::wstring sddl;
        bool standardUsersMayChange;
    } kCases[] = {
        // Program Files.
        {L"O:" + installer + L"D:P(A;;FA;;;" + installer + L")(A;CIIO;GA;;;" + installer +
             L")(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;BA)(A;OICIIO;GA;;;BA)"
             L"(A;;0x1200a9;;;BU)(A;OICIIO;GXGR;;;BU)(A;OICIIO;GA;;;CO)(A;;0x1200a9;;;S-1-15-2-1)",
         false},
        // A user's own folder, owned by the user or only writable by them.
        {L"O:S-1-5-21-1-2-3-1001D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", true},
        {L"O:BAD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;S-1-5-21-1-2-3-1001)", true},
        // A folder at the root of the drive: authenticated users may modify it.
        {L"O:BAD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;AU)", true},
        // One right is enough: append (add a subfolder), delete (rename), change permissions.
        {L"O:BAD:(A;;FA;;;BA)(A;;0x4;;;BU)", true},
        {L"O:BAD:(A;;FA;;;BA)(A;;SD;;;BU)", true},
        {L"O:BAD:(A;;FA;;;BA)(A;;WD;;;WD)", true},
        {L"D:(A;;FA;;;BA)", true},
    };
    for (const auto& [sddl, expected] : kCases) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
            << std::string(sddl.begin(), sddl.end());
        EXPECT_EQ(StandardUsersMayChange(descriptor), expected)
            << std::string(sddl.begin(), sddl.end());
        ::LocalFree(descriptor);
    }
    // No DACL at all (Wine reads "NO_ACCESS_CONTROL" as an empty one): everyone may do all.
    SECURITY_DESCRIPTOR open{};
    BYTE administrators[SECURITY_MAX_SID_SIZE] = {};
    DWORD size = sizeof administrators;
    ASSERT_TRUE(::InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION) &&
                ::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) &&
                ::SetSecurityDescriptorOwner(&open, administrators, FALSE) &&
                ::SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE));
    EXPECT_TRUE(StandardUsersMayChange(&open));
    EXPECT_TRUE(StandardUsersMayChange(std::wstring(L"C:\\no such folder\\Quillforth.exe")));
}

}  // namespace
