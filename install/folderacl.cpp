// folderacl.cpp - who may change the folders the setup makes, and whose folders
// it writes into

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include "folderacl.h"
#include "pathjoin.h"

#define SDDL_BYTES 512

/* Protected ("P"), and marked for its inheritable rules to reach what is
   made inside ("AI"); each rule for the folder, its subfolders and files
   (OICI). The user's SID string goes between the two halves. */
#define FOLDER_SDDL_BEFORE_USER "D:PAI(A;OICI;FA;;;"
#define FOLDER_SDDL_AFTER_USER  ")(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;FRFX;;;BU)"

/* The user the process runs as (the administrator, when elevated), read once
   from the token. NULL when the token cannot be read. */
static PSID TokenUserSid(void)
{
    static BYTE s_buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    static PSID s_sid;
    HANDLE hToken;
    DWORD cb;
    if (!s_sid && OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hToken))
    {
        if (GetTokenInformation(hToken, TokenUser, s_buffer, sizeof(s_buffer), &cb))
            s_sid = ((TOKEN_USER *)s_buffer)->User.Sid;
        CloseHandle(hToken);
    }
    return s_sid;
}

int GetFolderSecurity(SECURITY_ATTRIBUTES *sa)
{
    static PSECURITY_DESCRIPTOR s_psd;     // LocalAlloc'ed once, never freed
    char *szUser;
    if (!s_psd && TokenUserSid() && ConvertSidToStringSidA(TokenUserSid(), &szUser))
    {
        char szSddl[SDDL_BYTES] = "";
        if (AppendText(szSddl, sizeof(szSddl), FOLDER_SDDL_BEFORE_USER) &&
            AppendText(szSddl, sizeof(szSddl), szUser) && AppendText(szSddl, sizeof(szSddl), FOLDER_SDDL_AFTER_USER))
            ConvertStringSecurityDescriptorToSecurityDescriptorA(szSddl, SDDL_REVISION_1, &s_psd, NULL);
        LocalFree(szUser);
    }
    if (!s_psd)
        return 0;
    sa->nLength = sizeof(*sa);
    sa->lpSecurityDescriptor = s_psd;
    sa->bInheritHandle = FALSE;
    return 1;
}

int IsSetupElevated(void)
{
    TOKEN_ELEVATION elevation = { 1 };     // a token that cannot tell counts as elevated
    HANDLE hToken;
    DWORD cb;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hToken))
    {
        if (!GetTokenInformation(hToken, TokenElevation, &elevation, sizeof(elevation), &cb))
            elevation.TokenIsElevated = 1;
        CloseHandle(hToken);
    }
    return elevation.TokenIsElevated != 0;
}

int IsFolderOwnerTrusted(HANDLE hFolder)
{
    PSID owner = NULL;
    PSECURITY_DESCRIPTOR psd = NULL;
    if (GetSecurityInfo(hFolder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, NULL, NULL, NULL, &psd) !=
        ERROR_SUCCESS)
        return 0;
    PSID user = TokenUserSid();
    int trusted = owner && ((user && EqualSid(owner, user)) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
                            IsWellKnownSid(owner, WinLocalSystemSid));
    LocalFree(psd);
    return trusted;
}
