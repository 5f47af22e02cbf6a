// What lets one build of an extension load on every x86-64 glibc from 2.28
// on (the wheels' manylinux_2_28 promise), whatever newer glibc the build
// machine has.  Include it from the one source unit of each extension.
//
// The extensions carry the C++ runtime and its unwinder statically
// (libstdc++.a, libgcc_eh.a), so that they need nothing but the interpreter
// and libc.  Those archives were compiled against the build machine's glibc,
// and a few of their objects bind to symbols newer than glibc 2.28; a
// library that imports such a symbol does not load on an older glibc.  For
// each, this header gives the archives something that works the same and
// binds to nothing newer:
//
//  - pthread_once and __pthread_key_create got new versions in glibc 2.34
//    (libpthread moved into libc) with the same code behind the old ones.
//    libgcc_eh's references are redirected here with -Wl,--wrap (the flag
//    and the QUELBRIN_GLIBC_COMPAT define come together from CMakeLists.txt)
//    and forwarded to the GLIBC_2.2.5 versions.
//  - _dl_find_object (2.35), through which libgcc 12 and later finds the
//    unwind tables of a code address: without a working one every C++
//    exception ends in std::terminate.  It is rebuilt on dl_iterate_phdr,
//    the lookup libgcc used before glibc had _dl_find_object.
//  - __libc_single_threaded (2.32), which libstdc++ reads to skip atomic
//    reference counts: ours always says "not single-threaded", which is
//    always correct (it only gives up a shortcut).
//  - arc4random (2.36), which libstdc++'s random_device object brings in
//    (pulled in by the exception classes; the extensions use no random
//    numbers): the kernel's getrandom(), as glibc's own does it.
//
// Every definition is hidden: the extension's own, never exported, never
// seen by the interpreter or other libraries, which keep glibc's.
// tests/test_build.py reads the symbol versions of the built extensions and
// fails on anything newer than the promise, so a toolchain change that
// brings another such symbol cannot pass unnoticed.
#pragma once

#ifdef QUELBRIN_GLIBC_COMPAT

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#if !defined(__x86_64__) || !defined(__GLIBC__)
// The versions and the dl_find_object layout below are x86-64 glibc's.
#error "QUELBRIN_GLIBC_COMPAT is for x86-64 glibc builds"
#endif

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <sys/random.h>
#include <unistd.h>

#define QUELBRIN_HIDDEN __attribute__((visibility("hidden")))

extern "C" {

// --- pthread_once, __pthread_key_create: the GLIBC_2.2.5 versions --------
//
// The archives refer to both weakly (libgcc's "are threads in use" test takes
// the address of __pthread_key_create), so the forwarded references are weak
// too.  Where the old version is missing -- only a process without
// libpthread on a glibc before 2.34, which has no threads -- each answers as
// libgcc's own wrappers do when threads are not in use.
#if __GLIBC_PREREQ(2, 34)
int quelbrin_pthread_once_v2_2_5(pthread_once_t*, void (*)()) __attribute__((weak));
int quelbrin_pthread_key_create_v2_2_5(pthread_key_t*, void (*)(void*)) __attribute__((weak));
__asm__(".symver quelbrin_pthread_once_v2_2_5, pthread_once@GLIBC_2.2.5");
__asm__(".symver quelbrin_pthread_key_create_v2_2_5, __pthread_key_create@GLIBC_2.2.5");
#define QUELBRIN_PTHREAD_ONCE quelbrin_pthread_once_v2_2_5
#define QUELBRIN_PTHREAD_KEY_CREATE quelbrin_pthread_key_create_v2_2_5
#else
// On an older build machine the plain names are the old versions: --wrap
// gives them to us as __real_*.
int __real_pthread_once(pthread_once_t*, void (*)()) __attribute__((weak));
int __real___pthread_key_create(pthread_key_t*, void (*)(void*)) __attribute__((weak));
#define QUELBRIN_PTHREAD_ONCE __real_pthread_once
#define QUELBRIN_PTHREAD_KEY_CREATE __real___pthread_key_create
#endif

QUELBRIN_HIDDEN int __wrap_pthread_once(pthread_once_t* once, void (*init)()) {
    return QUELBRIN_PTHREAD_ONCE != nullptr ? QUELBRIN_PTHREAD_ONCE(once, init) : -1;
}

QUELBRIN_HIDDEN int __wrap___pthread_key_create(pthread_key_t* key, void (*destructor)(void*)) {
    return QUELBRIN_PTHREAD_KEY_CREATE != nullptr ? QUELBRIN_PTHREAD_KEY_CREATE(key, destructor) : -1;
}

#undef QUELBRIN_PTHREAD_ONCE
#undef QUELBRIN_PTHREAD_KEY_CREATE

// --- __libc_single_threaded ------------------------------------------------
#if __GLIBC_PREREQ(2, 32)
QUELBRIN_HIDDEN char __libc_single_threaded = 0;
#endif

// --- _dl_find_object ---------------------------------------------------------
#if __GLIBC_PREREQ(2, 35)
// On x86-64, where the structure has no dlfo_eh_dbase, libgcc's unwinder
// (GCC 12's, the one these builds link) reads only dlfo_eh_frame; every
// other field is filled in as glibc does but dlfo_link_map.  An unwinder
// that read more would fail every C++ exception, which the whole test suite
// goes through.
static_assert(DLFO_STRUCT_HAS_EH_DBASE == 0 && DLFO_STRUCT_HAS_EH_COUNT == 0 &&
                  DLFO_EH_SEGMENT_TYPE == PT_GNU_EH_FRAME,
              "the unwinder reads dl_find_object fields that are not filled in here");

// Fills *result and returns true when a segment of the object loaded at
// `bias` with these program headers holds `address`.
static bool quelbrin_find_in_object(uintptr_t address, uintptr_t bias, const ElfW(Phdr)* segments,
                                    ElfW(Half) count, dl_find_object* result) noexcept {
    uintptr_t start = UINTPTR_MAX;
    uintptr_t end = 0;
    bool holds = false;
    void* eh_frame = nullptr;
    for (ElfW(Half) index = 0; index < count; ++index) {
        const ElfW(Phdr)& segment = segments[index];
        const uintptr_t segment_start = bias + segment.p_vaddr;
        if (segment.p_type == PT_LOAD) {
            const uintptr_t segment_end = segment_start + segment.p_memsz;
            start = segment_start < start ? segment_start : start;
            end = segment_end > end ? segment_end : end;
            holds = holds || (segment_start <= address && address < segment_end);
        } else if (segment.p_type == PT_GNU_EH_FRAME) {
            eh_frame = reinterpret_cast<void*>(segment_start);
        }
    }
    if (!holds) {
        return false;
    }
    *result = dl_find_object{};
    result->dlfo_map_start = reinterpret_cast<void*>(start);
    result->dlfo_map_end = reinterpret_cast<void*>(end);
    result->dlfo_link_map = nullptr;  // dl_iterate_phdr does not give it; the unwinder does not read it
    result->dlfo_eh_frame = eh_frame;
    return true;
}

struct quelbrin_object_search {
    uintptr_t address;
    dl_find_object* result;
};

static int quelbrin_search_loaded_object(dl_phdr_info* info, size_t, void* data) noexcept {
    auto* search = static_cast<quelbrin_object_search*>(data);
    return quelbrin_find_in_object(search->address, info->dlpi_addr, info->dlpi_phdr, info->dlpi_phnum,
                                   search->result);
}

// The linker's symbol for this object's own ELF header.  It lets the lookup
// answer for this object's code -- nearly every frame a C++ exception of the
// extension passes -- from its program headers at once, instead of walking
// every loaded object under the loader's lock (which made a Python error
// through a locked call cost half as much again, counted by callgrind).
extern const ElfW(Ehdr) __ehdr_start __attribute__((weak, visibility("hidden")));

static bool quelbrin_find_in_this_object(uintptr_t address, dl_find_object* result) noexcept {
    if (&__ehdr_start == nullptr) {
        return false;
    }
    const auto header = reinterpret_cast<uintptr_t>(&__ehdr_start);
    const auto* segments = reinterpret_cast<const ElfW(Phdr)*>(header + __ehdr_start.e_phoff);
    // The header is the start of the loaded segment that maps file offset 0,
    // which gives the load bias that dl_iterate_phdr reports as dlpi_addr.
    for (ElfW(Half) index = 0; index < __ehdr_start.e_phnum; ++index) {
        if (segments[index].p_type == PT_LOAD && segments[index].p_offset == 0) {
            const uintptr_t bias = header - segments[index].p_vaddr;
            return quelbrin_find_in_object(address, bias, segments, __ehdr_start.e_phnum, result);
        }
    }
    return false;
}

// The object whose loaded segments hold `address`: 0 and *result filled in,
// or -1 when no loaded object holds it.
QUELBRIN_HIDDEN int _dl_find_object(void* address, dl_find_object* result) noexcept {
    const auto key = reinterpret_cast<uintptr_t>(address);
    if (quelbrin_find_in_this_object(key, result)) {
        return 0;
    }
    quelbrin_object_search search{key, result};
    return dl_iterate_phdr(quelbrin_search_loaded_object, &search) != 0 ? 0 : -1;
}
#endif

// --- arc4random --------------------------------------------------------------
#if __GLIBC_PREREQ(2, 36)
// Like glibc's: the kernel's random source, then /dev/urandom where the
// kernel has no getrandom(); with neither the process cannot go on safely.
QUELBRIN_HIDDEN uint32_t arc4random() noexcept {
    uint32_t value;
    for (;;) {
        const ssize_t got = getrandom(&value, sizeof value, 0);
        if (got == static_cast<ssize_t>(sizeof value)) {
            return value;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 && errno != ENOSYS) {
            std::abort();
        }
        break;
    }
    const int device = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (device < 0) {
        std::abort();
    }
    size_t filled = 0;
    while (filled < sizeof value) {
        const ssize_t got = read(device, reinterpret_cast<char*>(&value) + filled, sizeof value - filled);
        if (got > 0) {
            filled += static_cast<size_t>(got);
        } else if (got == 0 || errno != EINTR) {
            std::abort();
        }
    }
    close(device);
    return value;
}
#endif

}  // extern "C"

#undef QUELBRIN_HIDDEN

#endif  // QUELBRIN_GLIBC_COMPAT
