#include "system/file_rights.h"

#include <aclapi.h>
#include <sddl.h>

#include <array>

namespace {

// What lets its holder change an object or its name: FILE_WRITE_DATA and FILE_APPEND_DATA (a
// folder's FILE_ADD_FILE and FILE_ADD_SUBDIRECTORY), FILE_DELETE_CHILD, DELETE, WRITE_DAC,
// WRITE_OWNER and the generic rights that hold writing.
constexpr ACCESS_MASK kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD |
                                      DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                      GENERIC_ALL;

// The Windows installer service, owner of the system's own folders.
constexpr wchar_t kTrustedInstaller[] =
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
    std::array<BYTE, SECURITY_MAX_SID_SIZE> known{};
    DWORD size = known.size();
    return ::CreateWellKnownSid(type, nullptr, known.data(), &size) &&
           ::EqualSid(sid, known.data());
}

// The system, the administrators or the installer service.
bool IsTrusted(PSID sid) {
    if (sid == nullptr || !::IsValidSid(sid)) {
        return false;
    }
    if (IsWellKnown(sid, WinLocalSystemSid) || IsWellKnown(sid, WinBuiltinAdministratorsSid)) {
        return true;
    }
    PSID installer = nullptr;
    if (!::ConvertStringSidToSidW(kTrustedInstaller, &installer)) {
        return false;
    }
    const bool same = ::EqualSid(sid, installer) != FALSE;
    ::LocalFree(installer);
    return same;
}

// Whether the ACE at `entry` lets someone not trusted change the object.
bool GrantsChange(void* entry) {
    const auto* header = static_cast<const ACE_HEADER*>(entry);
    if ((header->AceFlags & INHERIT_ONLY_ACE) != 0) {
        return false;
    }
    switch (header->AceType) {
        case ACCESS_ALLOWED_ACE_TYPE:
        case ACCESS_ALLOWED_CALLBACK_ACE_TYPE: {
            // The two lay out the mask and the SID alike.
            auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(entry);
            return (ace->Mask & kChangeRights) != 0 && !IsTrusted(&ace->SidStart);
        }
        case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
        case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
            // Made for directory objects, not files: whoever it names counts as untrusted.
            return (static_cast<const ACCESS_ALLOWED_OBJECT_ACE*>(entry)->Mask & kChangeRights) !=
                   0;
        default:
            // Denying, auditing, labels: nothing granted.
            return false;
    }
}

}  // namespace

bool StandardUsersMayChange(PSECURITY_DESCRIPTOR descriptor) {
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || !IsTrusted(owner)) {
        return true;
    }
    BOOL present = FALSE;
    PACL dacl = nullptr;
    if (!::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present ||
        dacl == nullptr) {
        return true;
    }
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        void* entry = nullptr;
        if (!::GetAce(dacl, index, &entry) || GrantsChange(entry)) {
            return true;
        }
    }
    return false;
}

bool StandardUsersMayChange(const std::wstring& path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                                OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                                nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
        return true;
    }
    const bool may = StandardUsersMayChange(descriptor);
    ::LocalFree(descriptor);
    return may;
}
