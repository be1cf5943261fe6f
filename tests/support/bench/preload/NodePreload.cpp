// Loaded by bench-testbed ahead of umockdev's preloaded library into the command it runs. That
// library sends the ioctl()s, reads and writes on every descriptor that open() gives for a path in
// /dev through the testbed, and keeps each such descriptor in a fixed table of 50: 64 cards' ports
// open at once overflow it, and it aborts the program. The bench's device nodes lead to real
// pseudo-terminals that need none of that, so their opens go through openat() instead, which the
// library redirects into the testbed's /dev like any path but leaves to the kernel from then on.
// Every other open is passed on untouched.
#include <dlfcn.h>
#include <fcntl.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

// VOSTREL_BENCH_NODES: the start of the bench's node paths ("/dev/ttyUSB").
bool IsBenchNode(const char* pszPath)
{
    static const char* const pszPrefix = std::getenv("VOSTREL_BENCH_NODES");
    return pszPath && pszPrefix && *pszPrefix && std::strncmp(pszPath, pszPrefix, std::strlen(pszPrefix)) == 0;
}

int OpenNode(const char* pszPath, int nFlags, mode_t nMode)
{
    using OpenAt = int (*)(int, const char*, int, ...);
    static const OpenAt openat_next = reinterpret_cast<OpenAt>(dlsym(RTLD_NEXT, "openat"));
    return openat_next(AT_FDCWD, pszPath, nFlags, nMode);
}

template <typename Open>
Open Next(const char* pszName)
{
    return reinterpret_cast<Open>(dlsym(RTLD_NEXT, pszName));
}

} // namespace

#define VOSTREL_WRAP_OPEN(name)                                                                   \
    extern "C" int name(const char* pszPath, int nFlags, ...)                                    \
    {                                                                                             \
        mode_t nMode = 0;                                                                         \
        if (nFlags & (O_CREAT | O_TMPFILE)) {                                                     \
            va_list ap;                                                                           \
            va_start(ap, nFlags);                                                                 \
            nMode = va_arg(ap, mode_t);                                                           \
            va_end(ap);                                                                           \
        }                                                                                         \
        if (IsBenchNode(pszPath))                                                                 \
            return OpenNode(pszPath, nFlags, nMode);                                              \
        static const auto next = Next<int (*)(const char*, int, ...)>(#name);                    \
        return next(pszPath, nFlags, nMode);                                                      \
    }

#define VOSTREL_WRAP_OPEN_2(name)                                                                 \
    extern "C" int name(const char* pszPath, int nFlags)                                         \
    {                                                                                             \
        if (IsBenchNode(pszPath))                                                                 \
            return OpenNode(pszPath, nFlags, 0);                                                  \
        static const auto next = Next<int (*)(const char*, int)>(#name);                         \
        return next(pszPath, nFlags);                                                             \
    }

VOSTREL_WRAP_OPEN(open)
VOSTREL_WRAP_OPEN(open64)
VOSTREL_WRAP_OPEN_2(__open_2)
VOSTREL_WRAP_OPEN_2(__open64_2)
