#include "system/logon_task.h"

#include <gtest/gtest.h>

#include <string>

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
}

}  // namespace
