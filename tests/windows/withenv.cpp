// Starts a program with environment variables set, and waits for it:
//   withenv NAME VALUE [NAME VALUE…] PROGRAM
// so the wine tests can give the installer a hostile LOCALAPPDATA (its
// default folder is LOCALAPPDATA\Tambrix) or TEMP. Tests only.
#include <windows.h>

#include <string>

int wmain(int argc, wchar_t **argv)
{
    if (argc < 4 || argc % 2 != 0)
        return 2;
    for (int i = 1; i + 1 < argc - 1; i += 2) {
        if (!SetEnvironmentVariableW(argv[i], argv[i + 1]))
            return 2;
    }
    std::wstring command = L"\"" + std::wstring(argv[argc - 1]) + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return 3;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 4;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return int(code);
}
