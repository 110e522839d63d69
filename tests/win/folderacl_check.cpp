// folderacl_check.cpp - the folders' descriptor, rule by rule (Wine keeps no DACL on a folder to look at)

#include <windows.h>
#include <sddl.h>
#include <stdio.h>

#include "folderacl.h"

#define WRITE_RIGHTS (FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD | \
                      DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL)
#define TO_ALL_INSIDE (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)

int main(void)
{
    BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    HANDLE hToken;
    DWORD cb;
    SECURITY_ATTRIBUTES sa;
    char *text = NULL;
    BOOL present = FALSE, defaulted;
    PACL acl = NULL;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hToken) ||
        !GetTokenInformation(hToken, TokenUser, user, sizeof(user), &cb) || !GetFolderSecurity(&sa) ||
        !ConvertSecurityDescriptorToStringSecurityDescriptorA(sa.lpSecurityDescriptor, SDDL_REVISION_1,
                                                              DACL_SECURITY_INFORMATION, &text, NULL) ||
        !GetSecurityDescriptorDacl(sa.lpSecurityDescriptor, &present, &acl, &defaulted) || !present || !acl)
        return printf("FAILED: no descriptor with a DACL (error %lu)\n", GetLastError()), 1;
    // 1, 2, 4: the user, BA, SY with full control of all in the folder; 8: not an allow, or others may write.
    int found = 0;
    ACCESS_ALLOWED_ACE *ace;
    for (DWORD i = 0; i < acl->AceCount && GetAce(acl, i, (void **)&ace); i++)
    {
        PSID sid = &ace->SidStart;
        int who = EqualSid(sid, ((TOKEN_USER *)user)->User.Sid) ? 1 : IsWellKnownSid(sid, WinLocalSystemSid) ? 4
                  : IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ? 2 : 0;
        int toAll = (ace->Header.AceFlags & (TO_ALL_INSIDE | INHERIT_ONLY_ACE)) == TO_ALL_INSIDE;
        found |= toAll && (ace->Mask & FILE_ALL_ACCESS) == FILE_ALL_ACCESS ? who : 0;
        found |= ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE || (!who && ace->Mask & WRITE_RIGHTS) ? 8 : 0;
    }
    printf("%s\nwanted: D:P, and rules found 7; found %X\n", text, found);
    return !(text[0] == 'D' && text[1] == ':' && text[2] == 'P') || found != 7;
}
