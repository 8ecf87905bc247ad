/* Holds a file open as an Explorer extension or a virus scanner does:
 * readers may share it, nobody may delete or rename it, until the file
 * <path>.release appears or 300 seconds have passed. Prints "held" once it
 * holds the file. For the wine tests only. */
#include <windows.h>
#include <stdio.h>
#include <wchar.h>

int wmain(int argc, wchar_t **argv)
{
    if (argc != 2)
        return 2;
    HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    wchar_t release[MAX_PATH + 16];
    _snwprintf(release, MAX_PATH + 16, L"%ls.release", argv[1]);
    printf("held\n");
    fflush(stdout);
    for (int i = 0; i < 3000 && GetFileAttributesW(release) == INVALID_FILE_ATTRIBUTES; ++i)
        Sleep(100);
    CloseHandle(file);
    return 0;
}
