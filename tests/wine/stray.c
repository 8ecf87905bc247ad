/* A stray powershell.exe next to TambrixSetup.exe, as a download folder may
 * hold one: if the installer ever runs it instead of the system's, it leaves
 * a mark beside itself. For the wine tests only. */
#include <windows.h>
#include <stdio.h>
#include <string.h>

int main(void)
{
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(NULL, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH - 16)
        return 3;
    strcpy(strrchr(path, '\\') + 1, "stray-ran.txt");
    FILE *f = fopen(path, "w");
    if (f) {
        fputs("the stray powershell.exe ran\n", f);
        fclose(f);
    }
    return 3;
}
