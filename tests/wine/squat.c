/* Takes this user's installation hold name in Global\ first, as another
 * account could: with the descriptor given as SDDL, holding it until the
 * file given second appears or 300 seconds have passed. Prints "held" and
 * the descriptor the object reads back with once it holds it. For the wine
 * tests only. */
#include <aclapi.h>
#include <sddl.h>
#include <stdio.h>
#include <wchar.h>
#include <windows.h>

int wmain(int argc, wchar_t **argv)
{
    if (argc != 3)
        return 2;
    HANDLE token;
    DWORD size = 0;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return 3;
    GetTokenInformation(token, TokenUser, NULL, 0, &size);
    TOKEN_USER *user = (TOKEN_USER *)LocalAlloc(LPTR, size);
    LPWSTR sid = NULL;
    if (!user || !GetTokenInformation(token, TokenUser, user, size, &size) ||
        !ConvertSidToStringSidW(user->User.Sid, &sid))
        return 3;
    wchar_t name[256];
    _snwprintf(name, 256, L"Global\\TambrixSetup.Install.%ls", sid);
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(argv[1], SDDL_REVISION_1, &descriptor,
                                                              NULL))
        return 4;
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
    HANDLE mutex = CreateMutexW(&attributes, TRUE, name);
    if (!mutex) {
        printf("not made %lu\n", GetLastError());
        return 5;
    }
    PSECURITY_DESCRIPTOR found = NULL;
    LPWSTR text = NULL;
    const SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    if (GetSecurityInfo(mutex, SE_KERNEL_OBJECT, parts, NULL, NULL, NULL, NULL, &found) ==
            ERROR_SUCCESS &&
        ConvertSecurityDescriptorToStringSecurityDescriptorW(found, SDDL_REVISION_1, parts, &text,
                                                             NULL))
        printf("held %ls\n", text);
    else
        printf("held ?\n");
    fflush(stdout);
    for (int i = 0; i < 3000 && GetFileAttributesW(argv[2]) == INVALID_FILE_ATTRIBUTES; ++i)
        Sleep(100);
    CloseHandle(mutex);
    return 0;
}
