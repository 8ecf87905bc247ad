// taskkill: a stand-in for the Windows program on systems that have none.
//
// Usage: taskkill /IM <image name> /F
//        taskkill /F /PID <process id> [/PID <process id>...]
//
// By image name: forcibly ends every process of the current user whose
// executable's file name equals the image name (a user being a uid and a
// HOME: users made by the tests and the demo share one uid, and a run must
// never end another run's processes), compared without regard to letter case
// as Windows compares image names. By process id: ends each listed process of
// the current user, whatever its image. Exit code 0 when every process asked
// for was ended (by name: at least one), 128 when one was not found
// (Windows' own code for "not found"), 1 for a usage error or when one could
// not be ended.

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

namespace {

bool equalIgnoringCase(const std::string &a, const std::string &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

// The file name of the process's executable; empty when it cannot be read
// (kernel threads, processes of other users).
std::string imageNameOf(const std::string &pid)
{
    char target[4096];
    const std::string link = "/proc/" + pid + "/exe";
    const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    if (length <= 0)
        return {};
    std::string path(target, size_t(length));
    // An executable replaced on disk while running (an update) still counts.
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() &&
        path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
        path.erase(path.size() - deleted.size());
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Whether the process's environment holds this process's HOME (or this
// process has none to compare).
bool sameHome(const std::string &pid)
{
    const char *home = std::getenv("HOME");
    if (!home || !*home)
        return true;
    std::ifstream in("/proc/" + pid + "/environ", std::ios::binary);
    const std::string environment((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    const std::string wanted = std::string("HOME=") + home;
    size_t start = 0;
    while (start < environment.size()) {
        size_t end = environment.find('\0', start);
        if (end == std::string::npos)
            end = environment.size();
        if (environment.compare(start, end - start, wanted) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

// Ends the listed processes that are this user's; another user's are
// refused as Windows refuses them, whatever their image.
int endByPid(const std::vector<std::string> &pids)
{
    const uid_t me = getuid();
    int result = 0;
    for (const std::string &pid : pids) {
        struct stat info;
        if (stat(("/proc/" + pid).c_str(), &info) != 0) {
            std::cerr << "ERROR: The process \"" << pid << "\" not found.\n";
            result = result ? result : 128;
        } else if (info.st_uid != me || !sameHome(pid) ||
                   kill(pid_t(std::stol(pid)), SIGKILL) != 0) {
            std::cerr << "ERROR: The process with PID " << pid
                      << " could not be terminated.\nReason: Access is denied.\n";
            result = 1;
        } else {
            std::cout << "SUCCESS: The process with PID " << pid << " has been terminated.\n";
        }
    }
    return result;
}

} // namespace

int main(int argc, char **argv)
{
    bool force = false;
    std::string image;
    std::vector<std::string> pids;
    bool usable = true;
    for (int i = 1; i < argc && usable; ++i) {
        if (equalIgnoringCase(argv[i], "/F")) {
            force = true;
        } else if (equalIgnoringCase(argv[i], "/IM") && i + 1 < argc && image.empty()) {
            image = argv[++i];
        } else if (equalIgnoringCase(argv[i], "/PID") && i + 1 < argc && *argv[i + 1] &&
                   std::string(argv[i + 1]).find_first_not_of("0123456789") == std::string::npos) {
            pids.push_back(argv[++i]);
        } else {
            usable = false;
        }
    }
    // Without /F Windows asks the windows to close; nothing here has any.
    if (!usable || !force || image.empty() == pids.empty()) {
        std::cerr << "ERROR: Invalid syntax. Expected: taskkill /IM <image name> /F or "
                     "taskkill /F /PID <process id>...\n";
        return 1;
    }
    if (!pids.empty())
        return endByPid(pids);
    const uid_t me = getuid();
    const pid_t self = getpid();

    DIR *proc = opendir("/proc");
    if (!proc) {
        std::cerr << "ERROR: Cannot list processes: " << std::strerror(errno) << '\n';
        return 1;
    }
    int ended = 0;
    bool failed = false;
    while (const dirent *entry = readdir(proc)) {
        const std::string pid = entry->d_name;
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos)
            continue;
        if (std::stol(pid) == self)
            continue;
        struct stat info;
        if (stat(("/proc/" + pid).c_str(), &info) != 0 || info.st_uid != me)
            continue;
        if (!equalIgnoringCase(imageNameOf(pid), image) || !sameHome(pid))
            continue;
        if (kill(pid_t(std::stol(pid)), SIGKILL) == 0) {
            ++ended;
            std::cout << "SUCCESS: The process \"" << image << "\" with PID " << pid
                      << " has been terminated.\n";
        } else if (errno != ESRCH) {
            failed = true;
            std::cerr << "ERROR: The process \"" << image << "\" with PID " << pid
                      << " could not be terminated: " << std::strerror(errno) << '\n';
        }
    }
    closedir(proc);
    if (failed)
        return 1;
    if (ended == 0) {
        std::cerr << "ERROR: The process \"" << image << "\" not found.\n";
        return 128;
    }
    return 0;
}
