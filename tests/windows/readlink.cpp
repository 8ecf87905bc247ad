// Reads a shell link back through IShellLinkW, as Explorer would: prints its
// target, working folder and icon (path,index), one per line. Tests only.
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <windows.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t **argv)
{
    if (argc != 2)
        return 2;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    IShellLinkW *shell = nullptr;
    IPersistFile *file = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void **>(&shell))) ||
        FAILED(shell->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file))) ||
        FAILED(file->Load(argv[1], STGM_READ)))
        return 1;
    wchar_t target[MAX_PATH] = {}, folder[MAX_PATH] = {}, icon[MAX_PATH] = {};
    int index = -1;
    // The target as the item list holds it (in UTF-16); wine's GetPath
    // answers from the link's ANSI copy of the path, where letters outside
    // the code page are '?'.
    PIDLIST_ABSOLUTE items = nullptr;
    if (FAILED(shell->GetIDList(&items)) || !items || !SHGetPathFromIDListW(items, target))
        shell->GetPath(target, MAX_PATH, nullptr, SLGP_RAWPATH);
    CoTaskMemFree(items);
    shell->GetWorkingDirectory(folder, MAX_PATH);
    shell->GetIconLocation(icon, MAX_PATH, &index);
    auto utf8 = [](const wchar_t *w) {
        char buffer[4 * MAX_PATH] = {};
        WideCharToMultiByte(CP_UTF8, 0, w, -1, buffer, sizeof buffer, nullptr, nullptr);
        return std::string(buffer);
    };
    std::printf("TargetPath=%s\nWorkingDirectory=%s\nIconLocation=%s,%d\n", utf8(target).c_str(),
                utf8(folder).c_str(), utf8(icon).c_str(), index);
    file->Release();
    shell->Release();
    CoUninitialize();
    return 0;
}
