// Waits for top-level windows captioned CAPTION and prints how many there are and the text
// of the first one's message: box-reader CAPTION [TIMEOUT_MS]
#include <cstdio>
#include <string>
#include <vector>

#include "WinHeaders.h"
#include "tstrings.h"

namespace {

struct Search {
    std::wstring caption;
    std::vector<HWND> found;
};

BOOL CALLBACK collect(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<Search*>(context);
    wchar_t text[512] = {};
    GetWindowTextW(window, text, 512);
    if (IsWindowVisible(window) && search->caption == text) {
        search->found.push_back(window);
    }
    return TRUE;
}

std::vector<HWND> findWindows(const std::wstring& caption) {
    Search search{caption, {}};
    EnumWindows(collect, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fputs("usage: box-reader CAPTION [TIMEOUT_MS]\n", stderr);
        return 2;
    }
    const DWORD timeout = argc > 2 ? static_cast<DWORD>(_wtoi(argv[2])) : 20000;
    const DWORD start = GetTickCount();
    std::vector<HWND> windows;
    while ((windows = findWindows(argv[1])).empty() && GetTickCount() - start < timeout) {
        Sleep(100);
    }
    // Give a second box, if any, the time to appear too.
    Sleep(500);
    windows = findWindows(argv[1]);
    std::printf("count=%u\n", static_cast<unsigned>(windows.size()));
    if (!windows.empty()) {
        // A message box shows its text in the static control with id 0xFFFF.
        wchar_t text[4096] = {};
        GetDlgItemTextW(windows[0], 0xFFFF, text, 4096);
        std::printf("text=%s\n", tstrings::encodeUtf8(text).c_str());
    }
    return windows.empty() ? 1 : 0;
}
