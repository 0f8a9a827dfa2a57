// Parts of the static C++ runtime that the launcher provides itself, so that the linker does not
// pull in libstdc++'s larger ones. GCC and libstdc++ only.

#include <cstdint>
#include <cstdlib>
#include <exception>
#include <string>

#include "WinHeaders.h"

// libstdc++'s default terminate handler, defined here so that the runtime's own is left out:
// that one prints the exception's type on standard error, which a program without a console
// never shows, and brings the C++ name demangler and a printf implementation with it, about a
// sixth of the launcher. The launch frame catches every exception, so only a defect gets here;
// it ends the process as the runtime's handler does, without the text.
void __gnu_cxx::__verbose_terminate_handler() { std::abort(); }

// The narrow string, instantiated here as libstdc++ instantiates it for itself. Compiled with
// link-time optimisation, only the members the launcher calls stay; libstdc++'s precompiled
// instantiation, which the linker would otherwise take whole, is no longer needed.
template class std::basic_string<char>;

// The few thread primitives that the runtime's exception support calls (a lock for its emergency
// memory pool, thread-local storage for the exceptions in flight) and the one yield of the
// library, on the system's own calls. The runtime's thread library, which would otherwise come
// along with them, adds about 26 KB. The C linkage names are what the runtime asks for; the types
// are the thread library's: a mutex is pointer-sized, a key 32 bits, a once-flag a long.
extern "C" {

// A mutex's slot holds an SRW lock. The static initialiser's all-ones value stands for an unlocked
// mutex until first use turns it into an unlocked SRW lock.
int pthread_mutex_init(void** mutex, const void*) {
    *mutex = nullptr;
    return 0;
}

int pthread_mutex_destroy(void**) { return 0; }

int pthread_mutex_lock(void** mutex) {
    InterlockedCompareExchangePointer(mutex, nullptr, reinterpret_cast<void*>(~std::uintptr_t{0}));
    AcquireSRWLockExclusive(reinterpret_cast<SRWLOCK*>(mutex));
    return 0;
}

int pthread_mutex_unlock(void** mutex) {
    ReleaseSRWLockExclusive(reinterpret_cast<SRWLOCK*>(mutex));
    return 0;
}

// 0: not run; 1: running; 2: done. Callers that find it running wait until it is done.
int pthread_once(volatile long* once, void (*function)()) {
    if (InterlockedCompareExchange(once, 1, 0) == 0) {
        function();
        InterlockedExchange(once, 2);
        return 0;
    }
    while (InterlockedCompareExchange(once, 2, 2) != 2) {
        SwitchToThread();
    }
    return 0;
}

// Keys are slots of the system's thread-local storage. The destructor is not run at a thread's
// end: the launcher's only thread ends with the process.
int pthread_key_create(unsigned* key, void (*)(void*)) {
    const DWORD index = TlsAlloc();
    if (index == TLS_OUT_OF_INDEXES) {
        return 11; // EAGAIN
    }
    *key = index;
    return 0;
}

int pthread_key_delete(unsigned key) { return TlsFree(key) ? 0 : 22; } // EINVAL

void* pthread_getspecific(unsigned key) { return TlsGetValue(key); }

int pthread_setspecific(unsigned key, const void* value) { return TlsSetValue(key, const_cast<void*>(value)) ? 0 : 22; }

int sched_yield() {
    SwitchToThread();
    return 0;
}

} // extern "C"
