// powershell: a stand-in for Windows PowerShell on systems that have none.
//
// Usage: powershell -NoProfile -Command <script>
//
// It runs exactly the four scripts the installer sends (see script.h) and does
// on this system what each does on Windows. Anything else is refused with a
// message on standard error and exit code 1, so every test that goes through
// it also checks the exact script text.
//
// Shortcuts: Windows writes a binary shell link. Here the link is a small
// UTF-8 text file, one "Key=Value" line each, LF line ends:
//
//     [Tambrix shortcut]
//     TargetPath=<target>
//     WorkingDirectory=<folder>
//     IconLocation=<icon>,<index>
//     Description=<text>

#include "script.h"

#include <archive.h>
#include <archive_entry.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <langinfo.h>
#include <string>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

int failWith(const std::string &message)
{
    std::cerr << message << '\n';
    return 1;
}

bool endsWithIgnoringCase(const std::string &text, const std::string &suffix)
{
    if (text.size() < suffix.size())
        return false;
    for (size_t i = 0; i < suffix.size(); ++i) {
        const char a = text[text.size() - suffix.size() + i];
        const char b = suffix[i];
        if (std::tolower(static_cast<unsigned char>(a)) !=
            std::tolower(static_cast<unsigned char>(b)))
            return false;
    }
    return true;
}

// Where an entry (or a link's target, relative to the entry's folder) lands,
// as a path relative to the destination; empty when it would leave it.
std::optional<fs::path> containedPath(const fs::path &base, const std::string &name)
{
    if (name.empty() || name.front() == '/' || name.front() == '\\' ||
        (name.size() >= 2 && name[1] == ':'))
        return std::nullopt;
    fs::path result = base;
    std::string part;
    auto push = [&](const std::string &component) -> bool {
        if (component.empty() || component == ".")
            return true;
        if (component == "..") {
            if (result.empty())
                return false;
            result = result.parent_path();
            return true;
        }
        result /= component;
        return true;
    };
    for (const char c : name) {
        if (c == '/' || c == '\\') {
            if (!push(part))
                return std::nullopt;
            part.clear();
        } else {
            part.push_back(c);
        }
    }
    if (!push(part))
        return std::nullopt;
    return result;
}

struct ArchiveReader
{
    archive *handle = archive_read_new();
    ArchiveReader()
    {
        archive_read_support_format_zip_seekable(handle);
        archive_read_support_filter_none(handle);
    }
    ~ArchiveReader() { archive_read_free(handle); }
    ArchiveReader(const ArchiveReader &) = delete;
    ArchiveReader &operator=(const ArchiveReader &) = delete;
};

std::string corruptMessage(const std::string &zip, archive *handle)
{
    const char *detail = archive_error_string(handle);
    return "Expand-Archive : The archive file '" + zip +
           "' is not a valid zip archive or is damaged" +
           (detail ? std::string(": ") + detail : std::string("."));
}

// The compression method of the entry just read, in libarchive's words
// ("ZIP 2.0 (deflation)" gives "deflation").
std::string compressionOf(archive *reader)
{
    const char *format = archive_format_name(reader);
    const std::string name = format ? format : "";
    const size_t open = name.find('(');
    const size_t close = name.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open)
        return "uncompressed";
    return name.substr(open + 1, close - open - 1);
}

// Checks every entry before anything is written, so a hostile archive leaves
// the destination as it was.
int checkEntries(const std::string &zip)
{
    ArchiveReader reader;
    if (archive_read_open_filename(reader.handle, zip.c_str(), 1 << 20) != ARCHIVE_OK)
        return failWith(corruptMessage(zip, reader.handle));
    for (;;) {
        archive_entry *entry = nullptr;
        const int r = archive_read_next_header(reader.handle, &entry);
        if (r == ARCHIVE_EOF)
            break;
        if (r < ARCHIVE_WARN)
            return failWith(corruptMessage(zip, reader.handle));
        const char *rawName = archive_entry_pathname(entry);
        const std::string name = rawName ? rawName : "";
        const auto landing = containedPath({}, name);
        if (!landing || landing->empty())
            return failWith("Expand-Archive : The archive entry '" + name +
                            "' would be extracted outside the destination folder.");
        if (const char *hardlink = archive_entry_hardlink(entry)) {
            const auto target = containedPath({}, hardlink);
            if (!target || target->empty())
                return failWith("Expand-Archive : The archive entry '" + name +
                                "' links outside the destination folder.");
        }
        // Reading the data verifies the entry's checksum as well.
        const void *block = nullptr;
        size_t size = 0;
        la_int64_t offset = 0;
        int d;
        while ((d = archive_read_data_block(reader.handle, &block, &size, &offset)) == ARCHIVE_OK) {
        }
        if (d != ARCHIVE_EOF)
            return failWith(corruptMessage(zip, reader.handle));
    }
    return 0;
}

// A zip of no entries is nothing but its end record (and its comment), which
// libarchive does not recognise as an archive; Expand-Archive unpacks it to
// nothing.
bool isEmptyZip(const std::string &zip)
{
    std::ifstream in(zip, std::ios::binary);
    char head[4] = {};
    in.read(head, 4);
    std::error_code ec;
    if (in.gcount() != 4 || std::memcmp(head, "PK\x05\x06", 4) != 0)
        return false;
    // The end record is 22 bytes and the archive comment that may follow it.
    unsigned char rest[18] = {};
    in.read(reinterpret_cast<char *>(rest), 18);
    const unsigned commentLength = unsigned(rest[16]) | (unsigned(rest[17]) << 8);
    return in.gcount() == 18 && fs::file_size(zip, ec) == 22 + commentLength;
}

int expandArchive(const std::string &zip, const std::string &destination)
{
    std::error_code ec;
    if (!fs::is_regular_file(zip, ec))
        return failWith("Expand-Archive : The path '" + zip +
                        "' either does not exist or is not a valid file system path.");
    if (!endsWithIgnoringCase(zip, ".zip"))
        return failWith("Expand-Archive : " + fs::path(zip).extension().string() +
                        " is not a supported archive file format. .zip is the only supported "
                        "archive file format.");
    // -DestinationPath is a pattern: an existing folder holding [ ] * ? is
    // not found through it, and creating it anew then fails.
    if (standin::holdsWildcard(destination) && fs::exists(destination, ec))
        return failWith("New-Item : An item with the specified name " + destination +
                        " already exists.");
    if (isEmptyZip(zip)) {
        std::error_code created;
        fs::create_directories(destination, created);
        return 0;
    }
    if (const int r = checkEntries(zip))
        return r;

    fs::create_directories(destination, ec);
    if (ec || !fs::is_directory(destination))
        return failWith("Expand-Archive : Cannot create the destination folder '" + destination +
                        "': " + (ec ? ec.message() : std::string("not a folder")));
    const fs::path zipPath = fs::absolute(zip);
    // Entries are written relative to the destination so that libarchive's
    // own guards against "..", absolute names and symlinked parents apply.
    if (chdir(destination.c_str()) != 0)
        return failWith("Expand-Archive : Cannot enter '" + destination +
                        "': " + std::strerror(errno));

    ArchiveReader reader;
    if (archive_read_open_filename(reader.handle, zipPath.c_str(), 1 << 20) != ARCHIVE_OK)
        return failWith(corruptMessage(zip, reader.handle));
    archive *writer = archive_write_disk_new();
    archive_write_disk_set_options(
        writer, ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_UNLINK |
                    ARCHIVE_EXTRACT_SECURE_NODOTDOT | ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                    ARCHIVE_EXTRACT_SECURE_NOABSOLUTEPATHS);
    archive_write_disk_set_standard_lookup(writer);
    int result = 0;
    for (;;) {
        archive_entry *entry = nullptr;
        const int r = archive_read_next_header(reader.handle, &entry);
        if (r == ARCHIVE_EOF)
            break;
        if (r < ARCHIVE_WARN) {
            result = failWith(corruptMessage(zip, reader.handle));
            break;
        }
        const std::string name = archive_entry_pathname(entry);
        auto entryFailed = [&](archive *from) {
            const char *detail = archive_error_string(from);
            return failWith("Expand-Archive : Cannot extract '" + name + "'" +
                            (detail ? std::string(": ") + detail : std::string()));
        };
        // The .NET zip reader knows only stored and deflated entries; it
        // reports the first other one and stops, and Expand-Archive's error
        // is not a terminating one, so PowerShell still exits with 0.
        const std::string method = compressionOf(reader.handle);
        if (method != "uncompressed" && method != "deflation" && method != "deflation-64-bit") {
            // The entry's file is created before its data fails to decode.
            archive_entry_set_size(entry, 0);
            if (archive_write_header(writer, entry) >= ARCHIVE_WARN)
                archive_write_finish_entry(writer);
            std::cerr << "Exception calling \"ExtractToDirectory\" with \"3\" argument(s): \"The "
                         "archive entry was compressed using "
                      << method << " and is not supported.\"" << std::endl;
            break;
        }
        // Nor does it know symbolic links: a link entry becomes a file that
        // holds the link's target as text.
        if (archive_entry_filetype(entry) == AE_IFLNK) {
            const std::string target =
                archive_entry_symlink(entry) ? archive_entry_symlink(entry) : "";
            archive_entry_set_symlink(entry, nullptr);
            archive_entry_set_filetype(entry, AE_IFREG);
            archive_entry_set_perm(entry, 0644);
            archive_entry_set_size(entry, la_int64_t(target.size()));
            if (archive_write_header(writer, entry) < ARCHIVE_WARN ||
                archive_write_data(writer, target.data(), target.size()) < 0 ||
                archive_write_finish_entry(writer) < ARCHIVE_WARN) {
                result = entryFailed(writer);
                break;
            }
            continue;
        }
        if (archive_write_header(writer, entry) < ARCHIVE_WARN) {
            result = entryFailed(writer);
            break;
        }
        const void *block = nullptr;
        size_t size = 0;
        la_int64_t offset = 0;
        int d;
        while ((d = archive_read_data_block(reader.handle, &block, &size, &offset)) == ARCHIVE_OK) {
            if (archive_write_data_block(writer, block, size, offset) < ARCHIVE_WARN) {
                d = ARCHIVE_FATAL;
                break;
            }
        }
        if (d != ARCHIVE_EOF) {
            result = entryFailed(archive_errno(writer) ? writer : reader.handle);
            break;
        }
        if (archive_write_finish_entry(writer) < ARCHIVE_WARN) {
            result = entryFailed(writer);
            break;
        }
    }
    if (archive_write_close(writer) < ARCHIVE_WARN && result == 0)
        result = failWith(std::string("Expand-Archive : ") + archive_error_string(writer));
    archive_write_free(writer);
    return result;
}

bool pathExists(const fs::path &path)
{
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

bool copyItem(const fs::path &from, const fs::path &to, std::string &error)
{
    std::error_code ec;
    fs::copy(from, to,
             fs::copy_options::recursive | fs::copy_options::copy_symlinks |
                 fs::copy_options::overwrite_existing,
             ec);
    if (ec) {
        error = "Copy-Item : Cannot copy '" + from.string() + "' to '" + to.string() +
                "': " + ec.message();
        return false;
    }
    return true;
}

// Remove-Item -LiteralPath … -Recurse -Force as Windows PowerShell 5.1, the
// one users have, does it: it walks into a link or junction to a folder and
// deletes what lies behind it, then the link (PowerShell/PowerShell#621,
// fixed only in PowerShell 6). Modelled so, so that a test shows whether the
// installer lets the copy meet such a link at all.
void removeItemRecurse(const fs::path &path, std::error_code &ec)
{
    std::error_code ignored;
    const fs::file_status own = fs::symlink_status(path, ignored);
    if (fs::is_directory(own) ||
        (fs::is_symlink(own) && fs::is_directory(fs::status(path, ignored)))) {
        std::vector<fs::path> children;
        for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec))
            children.push_back(it->path());
        if (ec)
            return;
        for (const fs::path &child : children) {
            removeItemRecurse(child, ec);
            if (ec)
                return;
        }
    }
    fs::remove(path, ec);
}

// Get-ChildItem -Force lists hidden items as well: everything but . and ..
std::vector<fs::path> childItems(const fs::path &folder, std::string &error)
{
    std::vector<fs::path> items;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        items.push_back(it->path());
    if (ec)
        error =
            "Get-ChildItem : Cannot find path '" + folder.string() + "' because it does not exist.";
    return items;
}

int copyIntoInstallFolder(const std::string &installFolder, const std::string &appRoot)
{
    std::string error;
    if (pathExists(installFolder)) {
        const auto items = childItems(appRoot, error);
        if (!error.empty())
            return failWith(error);
        // Each failure inside the loop is a non-terminating error in
        // PowerShell: it is reported and the loop goes on with the next item,
        // and the run still ends with exit code 0.
        for (const fs::path &item : items) {
            const fs::path dest = fs::path(installFolder) / item.filename();
            if (pathExists(dest)) {
                std::error_code ec;
                removeItemRecurse(dest, ec);
                if (ec)
                    std::cerr << "Remove-Item : Cannot remove item '" << dest.string()
                              << "': " << ec.message() << std::endl;
            }
            error.clear();
            // Copy-Item puts a folder into a folder that (still) exists.
            const bool intoFolder = fs::is_directory(item) && fs::is_directory(dest);
            if (!copyItem(item, intoFolder ? dest / item.filename() : dest, error))
                std::cerr << error << std::endl;
        }
        return 0;
    }
    std::error_code ec;
    fs::create_directories(installFolder, ec);
    if (ec)
        return failWith("New-Item : Cannot create '" + installFolder + "': " + ec.message());
    // Copy-Item -Path (Join-Path ROOT '*'): a root holding [ ] * ? is part of
    // the pattern, which does not match the root's own name: nothing is
    // copied, and nothing is said.
    if (standin::holdsWildcard(appRoot))
        return 0;
    const auto items = childItems(appRoot, error);
    if (!error.empty())
        return failWith(error);
    for (const fs::path &item : items) {
        if (!copyItem(item, fs::path(installFolder) / item.filename(), error))
            return failWith(error);
    }
    return 0;
}

int moveUp(const std::string &nested, const std::string &installFolder)
{
    std::string error;
    int result = 0;
    const auto items = childItems(nested, error);
    if (!error.empty())
        result = failWith(error);
    for (const fs::path &item : items) {
        const fs::path dest = fs::path(installFolder) / item.filename();
        std::error_code ec;
        // Move-Item -Force replaces a file but will not merge into a folder.
        if (fs::is_directory(fs::symlink_status(dest, ec)) && dest != item) {
            result = failWith("Move-Item : Cannot create a file when that file already exists: '" +
                              dest.string() + "'");
            continue;
        }
        fs::rename(item, dest, ec);
        if (ec)
            result = failWith("Move-Item : Cannot move '" + item.string() + "': " + ec.message());
    }
    std::error_code ignored;
    fs::remove_all(nested, ignored);
    return result;
}

int shortcutNotSaved(const std::string &linkPath)
{
    return failWith("Exception calling \"Save\" with \"0\" argument(s): \"Unable to save "
                    "shortcut \"" +
                    linkPath + "\".\"");
}

int saveShortcut(const std::vector<std::string> &values)
{
    const std::string &linkPath = values.at(0);
    if (!endsWithIgnoringCase(linkPath, ".lnk") && !endsWithIgnoringCase(linkPath, ".url"))
        return failWith("Exception calling \"CreateShortcut\" with \"1\" argument(s): \"The "
                        "shortcut pathname must end with .lnk or .url.\"");
    const fs::path link(linkPath);
    std::error_code ec;
    if (!fs::is_directory(link.has_parent_path() ? link.parent_path() : fs::path("."), ec))
        return shortcutNotSaved(linkPath);
    const fs::path temporary = linkPath + ".tmp-" + std::to_string(getpid());
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << "[Tambrix shortcut]\n"
            << "TargetPath=" << values.at(1) << '\n'
            << "WorkingDirectory=" << values.at(2) << '\n'
            << "IconLocation=" << values.at(3) << '\n'
            << "Description=Tambrix\n";
        out.flush();
        if (!out) {
            fs::remove(temporary, ec);
            return shortcutNotSaved(linkPath);
        }
    }
    fs::rename(temporary, link, ec);
    if (ec) {
        fs::remove(temporary, ec);
        return shortcutNotSaved(linkPath);
    }
    return 0;
}

#ifdef TAMBRIX_REAL_POWERSHELL
// WScript.Shell exists only on Windows. PowerShell looks functions up before
// cmdlets, so this New-Object answers the shortcut script's call with an
// object whose CreateShortcut(path).Save() writes the stand-in's link format;
// the script itself still runs, unchanged, through the real parser and
// interpreter. Like the real one it opens an existing link and keeps what
// the script does not set.
const char *const shortcutPrelude =
    "function New-Object { param([string]$ComObject) "
    "$shell = [pscustomobject]@{ Kind = $ComObject }; "
    "$shell | Add-Member -MemberType ScriptMethod -Name CreateShortcut -Value { "
    "param([string]$path) "
    "if (-not ($path -match '\\.(lnk|url)$')) { throw 'The shortcut pathname must end with .lnk or "
    ".url.' }; "
    "$link = [pscustomobject]@{ FullName = $path; TargetPath = ''; WorkingDirectory = ''; "
    "IconLocation = ''; Description = '' }; "
    "if (Test-Path -LiteralPath $path) { foreach ($line in [IO.File]::ReadAllLines($path)) { "
    "$k, $v = $line -split '=', 2; if ($null -ne $v -and $link.PSObject.Properties[$k]) { "
    "$link.$k = $v } } }; "
    "$link | Add-Member -MemberType ScriptMethod -Name Save -Value { "
    "$text = \"[Tambrix shortcut]`nTargetPath=$($this.TargetPath)`nWorkingDirectory="
    "$($this.WorkingDirectory)`nIconLocation=$($this.IconLocation)`nDescription="
    "$($this.Description)`n\"; "
    "[IO.File]::WriteAllText($this.FullName, $text, [Text.UTF8Encoding]::new($false)) }; "
    "$link }; $shell }\n";

// Runs the recognised script, unchanged, in real PowerShell: the first pwsh on
// PATH, else the one scripts/test installed. Exit code and standard error
// are pwsh's own.
int handToRealPowerShell(standin::ScriptKind kind, const char *script)
{
    std::string text = script;
    if (kind == standin::ScriptKind::Shortcut)
        text = shortcutPrelude + text;
    const char *arguments[] = {"pwsh",     "-NoProfile", "-NonInteractive",
                               "-Command", text.c_str(), nullptr};
    // PowerShell 7 colours a piped standard error (ESC[31;1m…); Windows
    // PowerShell 5.1, which users have, never does, and the tests compare
    // the texts.
    setenv("NO_COLOR", "1", 1);
    execvp("pwsh", const_cast<char *const *>(arguments));
    execv(TAMBRIX_PWSH_FALLBACK, const_cast<char *const *>(arguments));
    return failWith(
        "powershell (real PowerShell): pwsh not found on PATH nor at " TAMBRIX_PWSH_FALLBACK);
}
#endif

} // namespace

int main(int argc, char **argv)
{
    // Paths arrive as UTF-8 (as Qt passes them) and archive entry names are
    // converted through the locale, so make sure the locale is a UTF-8 one.
    std::setlocale(LC_ALL, "");
    if (std::strcmp(nl_langinfo(CODESET), "UTF-8") != 0)
        std::setlocale(LC_CTYPE, "C.UTF-8");

    if (argc != 4 || std::strcmp(argv[1], "-NoProfile") != 0 ||
        std::strcmp(argv[2], "-Command") != 0)
        return failWith("powershell (stand-in): expected exactly -NoProfile -Command <script>");

    const auto script = standin::recogniseScript(argv[3]);
    if (!script)
        return failWith(std::string("powershell (stand-in): refusing a script that is not one of "
                                    "the installer's templates: ") +
                        argv[3]);
#ifdef TAMBRIX_REAL_POWERSHELL
    return handToRealPowerShell(script->kind, argv[3]);
#endif
    const auto &v = script->values;
    switch (script->kind) {
    case standin::ScriptKind::ExpandArchive:
        return expandArchive(v.at(0), v.at(1));
    case standin::ScriptKind::Copy:
        return copyIntoInstallFolder(v.at(0), v.at(1));
    case standin::ScriptKind::Move:
        return moveUp(v.at(0), v.at(1));
    case standin::ScriptKind::Shortcut:
        return saveShortcut(v);
    }
    return 1;
}
