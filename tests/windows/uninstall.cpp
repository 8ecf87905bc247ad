// Runs the registered uninstall command the way Apps & features does: reads
// UninstallString from the program's key and starts it as a command line
// with CreateProcessW, then waits for it. Tests only.
#include <windows.h>

#include <cstdio>
#include <string>

int wmain()
{
    const wchar_t *key = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tambrix";
    wchar_t command[4096] = {};
    DWORD size = sizeof command;
    if (RegGetValueW(HKEY_CURRENT_USER, key, L"UninstallString", RRF_RT_REG_SZ, nullptr, command,
                     &size) != ERROR_SUCCESS) {
        std::fprintf(stderr, "uninstall: no UninstallString\n");
        return 2;
    }
    // A console program started from Apps & features (a GUI program) gets a
    // console of its own; real PowerShell, which the script starts, runs
    // nothing without one. Its output still comes here: the wine run reads
    // what cmd wrote.
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWMINNOACTIVE;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, command, nullptr, nullptr, TRUE, CREATE_NEW_CONSOLE, nullptr,
                        nullptr, &startup, &process)) {
        std::fprintf(stderr, "uninstall: cannot start it (%lu)\n", GetLastError());
        return 1;
    }
    WaitForSingleObject(process.hProcess, 60000);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return int(code);
}
