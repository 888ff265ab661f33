// SPDX-License-Identifier: Apache-2.0
// Loaded into the helper by the torture run only (LD_PRELOAD): makes file-system calls of the
// operation thread fail at random, so that every error path of a copy, a removal or a folder's
// creation is taken sooner or later. The choice is a pure function of a seed and the number of
// calls seen so far, and only the operation thread (which runs one operation at a time) is
// touched, so a run replays the same failures as long as the same operations run.
//   NIMBARA_FAULT_SEED  a number
//   NIMBARA_FAULT_PPM   failures per million calls (0: none)
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// The operation queue's thread, as the kernel keeps its name (the last 15 bytes).
constexpr const char* kOperationThread = "bara.helper.ops";

std::atomic<uint64_t> calls{0};

uint64_t envNumber(const char* name) {
    const char* text = std::getenv(name);
    return text ? std::strtoull(text, nullptr, 10) : 0;
}

uint64_t mix(uint64_t x) {  // splitmix64
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

bool onOperationThread() {
    thread_local int known = -1;
    if (known < 0) {
        char name[16] = {};
        ::prctl(PR_GET_NAME, name);
        known = std::strcmp(name, kOperationThread) == 0;
    }
    return known == 1;
}

// True when this call fails; `err` is then set to one of `errs`, chosen like the failure.
bool fails(std::initializer_list<int> errs) {
    static const uint64_t seed = envNumber("NIMBARA_FAULT_SEED");
    static const uint64_t ppm = envNumber("NIMBARA_FAULT_PPM");
    if (ppm == 0 || !onOperationThread()) return false;
    uint64_t roll = mix(seed ^ mix(calls.fetch_add(1)));
    if (roll % 1000000 >= ppm) return false;
    errno = errs.begin()[(roll / 1000000) % errs.size()];
    return true;
}

template <typename F>
F real(const char* name) {
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

#define FORWARD(ret, name, params, args, ...)                  \
    extern "C" ret name params {                               \
        static auto next = real<ret(*) params>(#name);         \
        if (fails({__VA_ARGS__})) return static_cast<ret>(-1); \
        return next args;                                      \
    }

extern "C" int openat(int dir, const char* path, int flags, ...) {
    static auto next = real<int (*)(int, const char*, int, ...)>("openat");
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    if (fails({EIO, ENOMEM, EMFILE, ENOSPC, EACCES})) return -1;
    return next(dir, path, flags, mode);
}

extern "C" struct dirent* readdir(DIR* d) {
    static auto next = real<struct dirent* (*)(DIR*)>("readdir");
    if (fails({EIO, ENOMEM})) return nullptr;
    return next(d);
}

FORWARD(int, mkdirat, (int d, const char* p, mode_t m), (d, p, m), EIO, ENOSPC, EDQUOT)
FORWARD(int, symlinkat, (const char* t, int d, const char* p), (t, d, p), EIO, ENOSPC)
FORWARD(int, unlinkat, (int d, const char* p, int f), (d, p, f), EIO, EBUSY, EPERM)
FORWARD(int, renameat, (int a, const char* p, int b, const char* q), (a, p, b, q), EIO, ENOSPC)
FORWARD(int, renameat2, (int a, const char* p, int b, const char* q, unsigned f), (a, p, b, q, f),
        EIO, ENOSPC)
FORWARD(int, fchmod, (int fd, mode_t m), (fd, m), EIO, EPERM)
FORWARD(int, fchown, (int fd, uid_t u, gid_t g), (fd, u, g), EIO, EPERM)
FORWARD(ssize_t, copy_file_range, (int a, off_t* p, int b, off_t* q, size_t n, unsigned f),
        (a, p, b, q, n, f), EIO, ENOSPC)
FORWARD(ssize_t, write, (int fd, const void* b, size_t n), (fd, b, n), EIO, ENOSPC)
FORWARD(ssize_t, pwrite, (int fd, const void* b, size_t n, off_t o), (fd, b, n, o), EIO, ENOSPC)
FORWARD(ssize_t, pread, (int fd, void* b, size_t n, off_t o), (fd, b, n, o), EIO)
FORWARD(int, ftruncate, (int fd, off_t n), (fd, n), EIO, ENOSPC)
FORWARD(int, fsync, (int fd), (fd), EIO)
FORWARD(int, syncfs, (int fd), (fd), EIO)
FORWARD(ssize_t, readlinkat, (int d, const char* p, char* b, size_t n), (d, p, b, n), EIO)
FORWARD(int, fstatat, (int d, const char* p, struct stat* s, int f), (d, p, s, f), EIO, ENOMEM)
FORWARD(int, fstat, (int fd, struct stat* s), (fd, s), EIO)
FORWARD(off_t, lseek, (int fd, off_t o, int w), (fd, o, w), EIO)

// What a fortified build calls for an openat whose flags the compiler cannot see.
extern "C" int __openat_2(int dir, const char* path, int flags) {
    static auto next = real<int (*)(int, const char*, int)>("__openat_2");
    if (fails({EIO, ENOMEM, EMFILE, EACCES})) return -1;
    return next(dir, path, flags);
}
