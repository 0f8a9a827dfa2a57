// Lets a test watch the real calls that the library, linked into the test program, makes into a
// system DLL: while the hook lives, the program's import slot of the function points at a
// replacement, which can count or alter calls and forward them to original().
#pragma once

#include <gtest/gtest.h>

#include "WinHeaders.h"

template <class Function>
class ImportHook {
public:
    ImportHook(const char* dll, const char* name, Function* replacement) {
        auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
        const LONG headers = reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew;
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + headers);
        const auto wanted = reinterpret_cast<ULONG_PTR>(GetProcAddress(GetModuleHandleA(dll), name));
        const DWORD imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
        for (auto* entry = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports); wanted && entry->Name; ++entry) {
            auto* thunk = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
            for (; thunk->u1.Function; ++thunk) {
                if (thunk->u1.Function == wanted) {
                    slot = reinterpret_cast<Function**>(&thunk->u1.Function);
                }
            }
        }
        if (!slot) {
            ADD_FAILURE() << "the test program does not import " << name << " from " << dll;
            return;
        }
        saved = *slot;
        store(replacement);
    }
    ~ImportHook() {
        if (slot) {
            store(saved);
        }
    }
    ImportHook(const ImportHook&) = delete;
    ImportHook& operator=(const ImportHook&) = delete;

    Function* original() const { return saved; }

private:
    void store(Function* value) {
        DWORD protection = 0;
        VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection);
        *slot = value;
        VirtualProtect(slot, sizeof *slot, protection, &protection);
    }

    Function** slot = nullptr;
    Function* saved = nullptr;
};
