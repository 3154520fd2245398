/* Preloaded into the 32-bit Wine loader when scripts/test-win32 has to run
 * Wine under user-mode emulation (qemu-i386), on kernels that cannot execute
 * 32-bit x86 code themselves (ia32 emulation off).
 *
 * Wine reserves its address space with mmap(MAP_FIXED_NOREPLACE), halving any
 * range it cannot get in one piece. qemu-i386 7.2 does not know the flag and
 * maps such a request elsewhere, so every attempt looks refused and Wine
 * recurses down to 64 KiB pieces: some 65,000 mmap/munmap pairs, each a
 * linear scan inside qemu, close to a minute of CPU for every Wine process.
 * This mmap gives the flag its kernel meaning instead: a range that overlaps
 * a mapping listed in /proc/self/maps (which qemu shows as the guest's own)
 * fails with EEXIST, any other is mapped at exactly that address or not at
 * all. Nothing already mapped is ever replaced.
 *
 * Built freestanding with `gcc -m32 -shared -nostdlib`: it needs neither
 * 32-bit headers nor 32-bit libraries, only the guest's libc at run time. */

typedef unsigned int u32;
typedef long long s64;

#define MAP_FAILED ((void*)-1)
#define MAP_FIXED_NOREPLACE 0x100000
#define EEXIST 17
#define RTLD_NEXT ((void*)-1)

extern void* dlsym(void*, const char*);
extern int* __errno_location(void);
extern int open(const char*, int, ...);
extern int read(int, void*, u32);
extern int close(int);
extern int munmap(void*, u32);
extern int unsetenv(const char*);

typedef void* (*mmap64_fn)(void*, u32, int, int, int, s64);
static mmap64_fn real_mmap64;

__attribute__((constructor)) static void init(void) {
    real_mmap64 = (mmap64_fn)dlsym(RTLD_NEXT, "mmap64");
    /* The loader passes its environment on to the processes it starts; the
     * launcher script adds the preload again for each of them. */
    unsetenv("LD_PRELOAD");
}

static int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

/* 1 when [start, end) overlaps a mapping of the process (or the list cannot
 * be read: then the request is refused, which is always safe). */
static int overlaps_mapping(u32 start, u32 end) {
    static char text[1 << 17];
    int fd = open("/proc/self/maps", 0);
    if (fd < 0) return 1;
    int length = 0, n;
    while (length < (int)sizeof(text) - 1 &&
           (n = read(fd, text + length, sizeof(text) - 1 - length)) > 0)
        length += n;
    close(fd);
    if (length < 0 || length >= (int)sizeof(text) - 1) return 1;
    text[length] = 0;
    int i = 0;
    while (i < length) {
        unsigned long long first = 0, last = 0;
        int digit;
        while ((digit = hex_digit(text[i])) >= 0)
            first = first * 16 + digit, ++i;
        if (text[i] == '-') ++i;
        while ((digit = hex_digit(text[i])) >= 0)
            last = last * 16 + digit, ++i;
        if (first < end && last > start) return 1;
        while (i < length && text[i] != '\n')
            ++i;
        ++i;
    }
    return 0;
}

void* mmap64(void* address, u32 length, int prot, int flags, int fd, s64 offset) {
    if (!(flags & MAP_FIXED_NOREPLACE))
        return real_mmap64(address, length, prot, flags, fd, offset);
    const u32 start = (u32)address;
    const u32 end = start + ((length + 4095u) & ~4095u);
    if (end <= start || overlaps_mapping(start, end)) {
        *__errno_location() = EEXIST;
        return MAP_FAILED;
    }
    /* A plain hint: qemu takes it when the range is free, and maps
     * elsewhere (undone here) should anything have taken it meanwhile. */
    void* mapped = real_mmap64(address, length, prot, flags & ~MAP_FIXED_NOREPLACE, fd, offset);
    if (mapped != MAP_FAILED && mapped != address) {
        munmap(mapped, length);
        *__errno_location() = EEXIST;
        return MAP_FAILED;
    }
    return mapped;
}

void* mmap(void* address, u32 length, int prot, int flags, int fd, long offset) {
    return mmap64(address, length, prot, flags, fd, (s64)(u32)offset);
}
