// SPDX-License-Identifier: LGPL-2.1-or-later
// What every definition the preload puts in front of the C library's
// needs: the C library's own definition, and the export that puts it in
// front.
#ifndef QPORT_RUN_INTERPOSING_H
#define QPORT_RUN_INTERPOSING_H

#include <atomic>

#include <dlfcn.h>
#include <unistd.h>

// A definition the program's calls reach instead of the C library's.
#define QPORT_RUN_EXPORT extern "C" __attribute__((visibility("default")))

// libc_NAME(): the C library's definition of NAME, of type TYPE, cached
// in NAME_cache; with QPORT_RUN_LIBC_COMPAT, the compatibility symbol of
// the first x86-64 C library (GLIBC_2.2.5). Every interposer reaches the C
// library so.
#define QPORT_RUN_LIBC(name, type)                                                                 \
    inline std::atomic<type> name##_cache;                                                         \
    inline type libc_##name() { return qport_run::next_definition(name##_cache, #name); }
#define QPORT_RUN_LIBC_COMPAT(name, type)                                                          \
    inline std::atomic<type> name##_cache;                                                         \
    inline type libc_##name()                                                                      \
    {                                                                                              \
        return qport_run::next_definition(name##_cache, #name, "GLIBC_2.2.5");                     \
    }

namespace qport_run {

// The next definition of name (of version, for a compatibility symbol),
// the C library's, looked up on first use so that calls made before the
// preload's constructor runs (other libraries' constructors) work too.
// After that only read, also from a signal handler. A C library without it
// cannot run the program as it was written: it ends with status 125.
template <typename Function>
Function next_definition(std::atomic<Function> &cache, const char *name,
                         const char *version = nullptr)
{
    Function function = cache.load(std::memory_order_acquire);
    if (function == nullptr) {
        void *found =
            version != nullptr ? ::dlvsym(RTLD_NEXT, name, version) : ::dlsym(RTLD_NEXT, name);
        if (found == nullptr) {
            static constexpr char message[] = "qport-run: the C library lacks a function\n";
            [[maybe_unused]] const ssize_t written =
                ::write(STDERR_FILENO, message, sizeof message - 1);
            ::_exit(125);
        }
        function = reinterpret_cast<Function>(found);
        cache.store(function, std::memory_order_release);
    }
    return function;
}

} // namespace qport_run

#endif
