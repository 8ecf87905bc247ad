// TambrixDesktop.exe for the demo and the tests: a stand-in for the real
// application, shipped in the sample release under the real name.
//
// When started it appends one line to
// ${XDG_STATE_HOME:-$HOME/.local/state}/TambrixDesktop/launches.log naming the
// folder it was started in and its own path, so a test or the demo can see
// that the installer launched the installed copy, and from where.
// With TAMBRIX_SAMPLE_STAY=<seconds> it keeps running that long (to be ended
// by taskkill during a reinstall).

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>
#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

int main(int, char **)
{
#ifdef _WIN32
    // On Windows (the wine tests) the log goes to %LOCALAPPDATA%.
    const wchar_t *local = _wgetenv(L"LOCALAPPDATA");
    fs::path folder = local ? fs::path(local) : fs::path(L".");
#else
    const char *state = std::getenv("XDG_STATE_HOME");
    const char *home = std::getenv("HOME");
    fs::path folder =
        state && *state ? fs::path(state) : fs::path(home ? home : ".") / ".local" / "state";
#endif
    folder /= "TambrixDesktop";
    std::error_code ec;
    fs::create_directories(folder, ec);

#ifdef _WIN32
    wchar_t selfW[4096] = {};
    const DWORD n = GetModuleFileNameW(nullptr, selfW, 4095);
    const std::string self = n > 0 ? fs::path(selfW).u8string() : std::string("?");
    const std::string here = fs::current_path(ec).u8string();
#else
    char selfBuffer[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", selfBuffer, sizeof selfBuffer - 1);
    const std::string self = n > 0 ? std::string(selfBuffer, size_t(n)) : std::string("?");
    const std::string here = fs::current_path(ec).string();
#endif
    std::ofstream log(folder / "launches.log", std::ios::app);
    log << "started in " << here << " as " << self << " at " << std::time(nullptr) << '\n';
    log.close();

    if (const char *stay = std::getenv("TAMBRIX_SAMPLE_STAY"))
        std::this_thread::sleep_for(std::chrono::seconds(std::atoi(stay)));
    return 0;
}
