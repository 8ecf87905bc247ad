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
#include <unistd.h>

namespace fs = std::filesystem;

int main(int, char **)
{
    const char *state = std::getenv("XDG_STATE_HOME");
    const char *home = std::getenv("HOME");
    fs::path folder =
        state && *state ? fs::path(state) : fs::path(home ? home : ".") / ".local" / "state";
    folder /= "TambrixDesktop";
    std::error_code ec;
    fs::create_directories(folder, ec);

    char self[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::ofstream log(folder / "launches.log", std::ios::app);
    log << "started in " << fs::current_path(ec).string() << " as "
        << (n > 0 ? std::string(self, size_t(n)) : std::string("?")) << " at " << std::time(nullptr)
        << '\n';
    log.close();

    if (const char *stay = std::getenv("TAMBRIX_SAMPLE_STAY"))
        std::this_thread::sleep_for(std::chrono::seconds(std::atoi(stay)));
    return 0;
}
