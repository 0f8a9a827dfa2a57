// Single owners of operating-system handles. Each kind of handle has its traits (what "no
// handle" is, how to close one) and a named alias. Owners move, never copy, and closing
// never throws and leaves the thread's last error as it was, so a close during unwinding
// never changes the code a caller is about to read.
#pragma once

#include <cstdio>

#include "WinHeaders.h"

template <class Traits>
class UniqueOwner {
public:
    using Handle = typename Traits::Handle;

    UniqueOwner() noexcept = default;
    explicit UniqueOwner(Handle handle) noexcept : handle(handle) {}
    ~UniqueOwner() { close(handle); }

    UniqueOwner(const UniqueOwner&) = delete;
    UniqueOwner& operator=(const UniqueOwner&) = delete;

    UniqueOwner(UniqueOwner&& other) noexcept : handle(other.release()) {}

    // Takes the source's handle first, then closes the one held before.
    UniqueOwner& operator=(UniqueOwner&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }

    void reset(Handle replacement = Traits::none()) noexcept {
        const Handle old = handle;
        handle = replacement;
        close(old);
    }

    // Gives up ownership without closing.
    [[nodiscard]] Handle release() noexcept {
        const Handle released = handle;
        handle = Traits::none();
        return released;
    }

    Handle get() const noexcept { return handle; }

    // Closes the held handle and gives the storage to a call that returns a new one through a pointer.
    Handle* put() noexcept {
        reset();
        return &handle;
    }

    explicit operator bool() const noexcept { return Traits::isValid(handle); }

private:
    static void close(Handle h) noexcept {
        if (Traits::isValid(h)) {
            const DWORD lastError = GetLastError();
            Traits::close(h);
            SetLastError(lastError);
        }
    }

    Handle handle = Traits::none();
};

struct KernelHandleTraits {
    using Handle = HANDLE;
    static Handle none() noexcept { return nullptr; }
    static bool isValid(Handle h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(Handle h) noexcept { CloseHandle(h); }
};

struct FindHandleTraits {
    using Handle = HANDLE;
    static Handle none() noexcept { return nullptr; }
    static bool isValid(Handle h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(Handle h) noexcept { FindClose(h); }
};

struct ModuleTraits {
    using Handle = HMODULE;
    static Handle none() noexcept { return nullptr; }
    static bool isValid(Handle h) noexcept { return h != nullptr; }
    static void close(Handle h) noexcept { FreeLibrary(h); }
};

struct CFileTraits {
    using Handle = FILE*;
    static Handle none() noexcept { return nullptr; }
    static bool isValid(Handle h) noexcept { return h != nullptr; }
    static void close(Handle h) noexcept { fclose(h); }
};

// A kernel object handle (process, thread, file, mutex, job), closed with CloseHandle.
using UniqueHandle = UniqueOwner<KernelHandleTraits>;
// A directory enumeration handle, closed with FindClose.
using UniqueFindHandle = UniqueOwner<FindHandleTraits>;
// A loaded module, released with FreeLibrary.
using UniqueModule = UniqueOwner<ModuleTraits>;
// A C runtime stream, closed with fclose.
using UniqueCFile = UniqueOwner<CFileTraits>;
