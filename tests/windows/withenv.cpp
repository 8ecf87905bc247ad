// Starts a program with one environment variable set, and waits for it:
//   withenv NAME VALUE PROGRAM
// so the wine tests can give the installer a hostile LOCALAPPDATA (its
// default folder is LOCALAPPDATA\Tambrix). Tests only.
#include <windows.h>

#include <string>

int wmain(int argc, wchar_t **argv)
{
    if (argc != 4 || !SetEnvironmentVariableW(argv[1], argv[2]))
        return 2;
    std::wstring command = L"\"" + std::wstring(argv[3]) + L"\"";
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
