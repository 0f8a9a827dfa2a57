// Lets a test stand between the library, linked into the test program, and a system function it
// imports: while a hook lives, the program's import slots of the function point at a replacement
// that hands every call to the test's body, which can count, alter, fail or forward it. Only this
// program's own calls are affected; the system's DLLs call each other directly.
#pragma once

#include <algorithm>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "WinHeaders.h"

// The imported function's name, as a template argument: each function gets its own hook state.
template <std::size_t N>
struct ImportName {
    constexpr ImportName(const char (&name)[N]) { std::copy_n(name, N, text); }
    char text[N];
};

template <ImportName name, class Function>
class ImportHook;

// Calling conventions are one on x64, so the specialisation matches every system function.
template <ImportName name, class R, class... Args>
class ImportHook<name, R(Args...)> {
public:
    using Original = R(WINAPI*)(Args...);
    using Body = std::function<R(Original, Args...)>;

    // Throws std::logic_error when the program does not import the function; one hook per function at a time.
    explicit ImportHook(Body body) : body(std::move(body)) {
        if (current) {
            throw std::logic_error(std::string("two hooks for ") + name.text);
        }
        auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
            base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
        const DWORD imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
        for (auto* dll = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports); dll->Name; ++dll) {
            auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->FirstThunk);
            const auto* entry = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + dll->OriginalFirstThunk);
            for (; entry->u1.AddressOfData; ++entry, ++slot) {
                const bool byName = !IMAGE_SNAP_BY_ORDINAL(entry->u1.Ordinal);
                if (byName && std::strcmp(reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + entry->u1.AddressOfData)->Name,
                                          name.text) == 0) {
                    slots.push_back(reinterpret_cast<Original*>(&slot->u1.Function));
                }
            }
        }
        if (slots.empty()) {
            throw std::logic_error(std::string("the test program does not import ") + name.text);
        }
        original = *slots.front();
        current = this;
        store(replacement);
    }
    ~ImportHook() {
        store(original);
        current = nullptr;
    }
    ImportHook(const ImportHook&) = delete;
    ImportHook& operator=(const ImportHook&) = delete;

private:
    static R WINAPI replacement(Args... args) { return current->body(current->original, args...); }

    void store(Original value) {
        for (Original* slot : slots) {
            DWORD protection = 0;
            VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection);
            *slot = value;
            VirtualProtect(slot, sizeof *slot, protection, &protection);
        }
    }

    static inline ImportHook* current = nullptr;
    Body body;
    std::vector<Original*> slots;
    Original original = nullptr;
};

// The hook of the function of that name: IMPORT_HOOK(ResumeThread) hook(body);
#define IMPORT_HOOK(function) ImportHook<#function, decltype(function)>

// A hook body that makes `times` calls fail, after letting `after` calls through: they return
// `result` and leave `error` as the thread's last error. The others reach the system.
template <class R>
auto failing(R result, DWORD error, int times = 1, int after = 0) {
    return [=, calls = 0](auto original, auto... args) mutable -> R {
        ++calls;
        if (calls > after && calls <= after + times) {
            SetLastError(error);
            return result;
        }
        return original(args...);
    };
}

// A GetModuleFileNameW body that answers `path` as Windows does for a module of that path: a
// buffer too small receives the start of the path, and the answer is the buffer's size.
inline auto answerModulePath(std::wstring path) {
    return [path = std::move(path)](auto, HMODULE, LPWSTR buffer, DWORD size) -> DWORD {
        const DWORD copied = std::min<DWORD>(size - 1, static_cast<DWORD>(path.size()));
        path.copy(buffer, copied);
        buffer[copied] = L'\0';
        SetLastError(copied < path.size() ? ERROR_INSUFFICIENT_BUFFER : ERROR_SUCCESS);
        return copied < path.size() ? size : copied;
    };
}
