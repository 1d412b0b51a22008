// A library the program preloads into the browser's processes. It asks the
// kernel to back every large private anonymous mapping with transparent huge
// pages (2 MiB instead of 4 KiB), where the system leaves that to programs
// (/sys/kernel/mm/transparent_hugepage/enabled set to "madvise", Debian's
// default).
//
// A capture makes the browser fill hundreds of megabytes of fresh memory for
// each band: the compositor's picture of the band and the copy read back
// from it. Each 4 KiB page of it is a page fault of its own, and in a virtual
// machine a fault is dear: on one, this library took a quarter off a batch's
// time, with the same peak memory and the same pictures. Chromium's
// allocator reserves its memory in a few large mappings up front, so marking
// those marks nearly everything it hands out later. (The memory the browser
// shares between its processes, the page's tiles among it, is not reached:
// whether that has huge pages is the system's setting alone.)
//
// The browser's sandbox refuses MADV_HUGEPAGE with an error instead of
// stopping the process, and the advice is only advice: when it fails, the
// mapping is used as it is.

#define _GNU_SOURCE
#include <errno.h>
#include <stddef.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#if !defined(__x86_64__) && !defined(__aarch64__)
#error "mmap is forwarded as a system call on x86-64 and AArch64 only"
#endif

// The size of one huge page: smaller mappings could never hold one.
enum
{
    LargeMapping = 2 * 1024 * 1024
};

// Forwarded to the system call itself rather than to the C library's mmap
// through dlsym: the first mmap can come before the library is ready to
// answer dlsym, and dlsym may allocate, which in the browser can call mmap
// again.
__attribute__((visibility("default"))) void *mmap(void *address, size_t length, int protection,
                                                  int flags, int fd, off_t offset)
{
    void *mapping = (void *)syscall(SYS_mmap, address, length, protection, flags, fd, offset);
    if (mapping != MAP_FAILED && (flags & MAP_ANONYMOUS) && (flags & MAP_TYPE) == MAP_PRIVATE &&
        length >= LargeMapping) {
        const int saved = errno;
        madvise(mapping, length, MADV_HUGEPAGE);
        errno = saved;
    }
    return mapping;
}

// The same function under its large-file name; off_t is 64 bits on both
// architectures.
__attribute__((visibility("default"), alias("mmap"))) void *
mmap64(void *address, size_t length, int protection, int flags, int fd, off_t offset);
