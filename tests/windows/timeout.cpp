// timeout.exe for wine, which has none: "timeout /t N [/nobreak]" waits N
// seconds, as the clean-up script of Uninstall.cmd needs. Tests only.
#include <stdlib.h>
#include <string.h>
#include <windows.h>

int main(int argc, char **argv)
{
    int seconds = -1;
    for (int i = 1; i < argc; ++i) {
        if ((strcmp(argv[i], "/t") == 0 || strcmp(argv[i], "/T") == 0) && i + 1 < argc)
            seconds = atoi(argv[++i]);
    }
    if (seconds < 0)
        return 1;
    Sleep((DWORD)seconds * 1000);
    return 0;
}
