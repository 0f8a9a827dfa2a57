// A stand-in for a DLL planted beside a downloaded setup.exe: when anything loads it, it leaves
// the file "planted-dll-was-loaded" in its own directory.
#include "WinHeaders.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        wchar_t path[MAX_PATH];
        DWORD length = GetModuleFileNameW(instance, path, MAX_PATH);
        while (length > 0 && path[length - 1] != L'\\') {
            --length;
        }
        lstrcpyW(path + length, L"planted-dll-was-loaded");
        CloseHandle(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    }
    return TRUE;
}
