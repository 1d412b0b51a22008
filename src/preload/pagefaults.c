// A library the program preloads into the browser's processes, to spare
// them page faults while they paint. A capture makes the browser fill
// hundreds of megabytes of fresh memory for each band, and each 4 KiB page of
// it is a fault of its own; in a virtual machine a fault is dear (a trip
// through the hypervisor), and faults took a third of each paint on one.
// The program turns on, through the environment, what applies:
//
// SNAPVEL_HUGE_PAGES=1: every large private anonymous mapping is advised for
// transparent huge pages (2 MiB instead of 4 KiB), where the system leaves
// that to programs (/sys/kernel/mm/transparent_hugepage/enabled set to
// "madvise", Debian's default). Chromium's allocator reserves its memory in a
// few large mappings up front, so marking those marks nearly everything it
// hands out later. On one machine this took a quarter off a batch's time,
// with the same peak memory and the same pictures. The browser's sandbox
// refuses the advice with an error instead of stopping the process, and the
// advice is only advice: when it fails, the mapping is used as it is.
//
// SNAPVEL_PREFAULT_SHARED_MEMORY=1: the memory the browser's processes share
// with each other is filled in as it is mapped, in one system call instead of
// one fault a page, where it is about to be written whole: the page's tiles,
// which the renderer paints and the compositor reads (256 x 256 pixels, up to
// 256 KiB each), and the bands' pictures the compositor draws and the browser
// reads back (8 MiB and more). Between those sizes lie the buffers of the
// browser's data pipes (2 MiB for every response, most of it never used):
// filling those would only cost memory, and loading a page of 300 images
// was slower for it. Only plain shared memory (tmpfs, which memfd and
// /dev/shm are) is filled: on a file's mapping it would mark every page for
// writing back. The program turns this on only for a browser without its
// sandbox (run as root): the sandbox's system call filter refuses the
// advice, and might stop a process for asking what a mapping is.

#define _GNU_SOURCE
#include <errno.h>
#include <linux/magic.h>
#include <stddef.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/vfs.h>
#include <unistd.h>

#if !defined(__x86_64__) && !defined(__aarch64__)
#error "mmap is forwarded as a system call on x86-64 and AArch64 only"
#endif

// Linux 5.14 and later; older kernels refuse it with EINVAL, and the memory
// is then filled page by page as before.
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

enum
{
    // The size of one huge page: smaller mappings could never hold one.
    LargePrivateMapping = 2 * 1024 * 1024,
    // The sizes of shared memory that is filled in at once (see above).
    SmallestTile = 64 * 1024,
    LargestTile = 256 * 1024,
    SmallestPicture = 8 * 1024 * 1024,
};

static int hugePages;
static int prefaultSharedMemory;

static int switchedOn(const char *name)
{
    const char *value = getenv(name);
    return value && value[0] == '1' && value[1] == '\0';
}

// Read once, when the library is loaded: a process the browser forks keeps
// what its parent read.
__attribute__((constructor)) static void readSwitches(void)
{
    hugePages = switchedOn("SNAPVEL_HUGE_PAGES");
    prefaultSharedMemory = switchedOn("SNAPVEL_PREFAULT_SHARED_MEMORY");
}

static int isSharedMemoryToFill(size_t length, int protection, int flags, int fd)
{
    if ((flags & MAP_TYPE) != MAP_SHARED || !(protection & PROT_WRITE) || fd < 0)
        return 0;
    if (!((length >= SmallestTile && length <= LargestTile) || length >= SmallestPicture))
        return 0;
    struct statfs filesystem;
    return fstatfs(fd, &filesystem) == 0 && filesystem.f_type == TMPFS_MAGIC;
}

// Forwarded to the system call itself rather than to the C library's mmap
// through dlsym: the first mmap can come before the library is ready to
// answer dlsym, and dlsym may allocate, which in the browser can call mmap
// again.
__attribute__((visibility("default"))) void *mmap(void *address, size_t length, int protection,
                                                  int flags, int fd, off_t offset)
{
    void *mapping = (void *)syscall(SYS_mmap, address, length, protection, flags, fd, offset);
    if (mapping == MAP_FAILED)
        return mapping;
    const int saved = errno;
    if (hugePages && (flags & MAP_ANONYMOUS) && (flags & MAP_TYPE) == MAP_PRIVATE &&
        length >= LargePrivateMapping)
        madvise(mapping, length, MADV_HUGEPAGE);
    else if (prefaultSharedMemory && isSharedMemoryToFill(length, protection, flags, fd))
        madvise(mapping, length, MADV_POPULATE_WRITE);
    errno = saved;
    return mapping;
}

// The same function under its large-file name; off_t is 64 bits on both
// architectures.
__attribute__((visibility("default"), alias("mmap"))) void *
mmap64(void *address, size_t length, int protection, int flags, int fd, off_t offset);
