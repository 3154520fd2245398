/* Preloaded into the 32-bit Wine loader when scripts/test-win32 has to run
 * Wine under user-mode emulation (qemu-i386), on kernels that cannot execute
 * 32-bit x86 code themselves (ia32 emulation off). It works around two
 * limits of qemu-i386 7.2.
 *
 * 1. Address space. Wine reserves its address space with
 * mmap(MAP_FIXED_NOREPLACE), halving any range it cannot get in one piece.
 * qemu-i386 does not know the flag and maps such a request elsewhere, so
 * every attempt looks refused and Wine recurses down to 64 KiB pieces: some
 * 65,000 mmap/munmap pairs, each a linear scan inside qemu, close to a minute
 * of CPU for every Wine process. The mmap below gives the flag its kernel
 * meaning instead: a range that overlaps a mapping listed in /proc/self/maps
 * (which qemu shows as the guest's own) fails with EEXIST, any other is
 * mapped at exactly that address or not at all. Nothing already mapped is
 * ever replaced.
 *
 * 2. Thread segments. On a real kernel the thread-local-storage entries of
 * the global descriptor table (set_thread_area) belong to each thread; qemu
 * keeps one table for the whole process. Every new thread overwrites the
 * entry that glibc's %gs (and Wine's %fs, its TEB) of all threads point at,
 * and a thread that reloads the segment register afterwards (qemu does on
 * every return from a signal handler, Wine in each of its handlers) runs on
 * another thread's TLS: a wrong errno, a "stack smashing detected" from the
 * other thread's canary, or a crash. The local descriptor table has the same
 * sharing, but there every thread can have an entry of its own, so:
 *  - the free TLS entries of the global table are filled at start, Wine's
 *    set_thread_area for %fs fails and Wine falls back to one local entry
 *    per thread (its path for systems without set_thread_area);
 *  - every thread moves its %gs to a local entry of its own (the main thread
 *    here, the others as the first thing they run, see pthread_create);
 *  - glibc creates a thread with a global entry named by the creator's %gs,
 *    so pthread_create points the creator's %gs at the global entry again
 *    (with its own base written in it, signals blocked) for the moment of
 *    the clone.
 * The local table is allocated here, before any other thread exists: qemu
 * gives a thread the table only if it existed when the thread was made.
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
extern long syscall(long, ...);
extern void* malloc(u32);
extern void free(void*);
extern int pthread_key_create(u32*, void (*)(void*));
extern int pthread_setspecific(u32, const void*);

typedef void* (*mmap64_fn)(void*, u32, int, int, int, s64);
static mmap64_fn real_mmap64;

static void move_threads_off_global_tls(void);

__attribute__((constructor)) static void init(void) {
    real_mmap64 = (mmap64_fn)dlsym(RTLD_NEXT, "mmap64");
    move_threads_off_global_tls();
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

/* ------------------------------------------------------------------------
 * Thread segments. */

#define SYS_MODIFY_LDT 123
#define SYS_RT_SIGPROCMASK 175
#define SYS_SET_THREAD_AREA 243
#define SIG_SETMASK 2
#define TLS_ENTRY_FIRST 6
#define TLS_ENTRY_LAST 8
/* Local entries for %gs are taken from the top of the table; Wine allocates
 * its own (%fs of every thread) from the bottom. */
#define LOCAL_FIRST 4096
#define LOCAL_COUNT 4096

struct user_desc {
    u32 entry_number;
    u32 base_addr;
    u32 limit;
    u32 seg_32bit : 1;
    u32 contents : 2;
    u32 read_exec_only : 1;
    u32 limit_in_pages : 1;
    u32 seg_not_present : 1;
    u32 useable : 1;
};

typedef int (*pthread_create_fn)(void*, const void*, void* (*)(void*), void*);
static pthread_create_fn real_pthread_create;
static int active;       /* 1 once the main thread runs on a local entry */
static u32 global_entry; /* glibc's TLS entry of the global table */
static volatile int lock_word;
static unsigned char local_used[LOCAL_COUNT];
static u32 local_next;
static u32 exit_key;

static void lock(void) {
    while (__sync_lock_test_and_set(&lock_word, 1))
        while (lock_word)
            __builtin_ia32_pause();
}
static void unlock(void) {
    __sync_lock_release(&lock_word);
}

static u32 get_gs(void) {
    u32 value;
    __asm__ volatile("movl %%gs, %0" : "=r"(value));
    return value & 0xffff;
}
static void set_gs(u32 selector) {
    __asm__ volatile("movl %0, %%gs" ::"r"(selector));
}
/* glibc keeps the address of the thread's control block at %gs:0, which is
 * the segment's base. */
static u32 gs_base(void) {
    u32 value;
    __asm__ volatile("movl %%gs:0, %0" : "=r"(value));
    return value;
}

static void data_segment(struct user_desc* desc, u32 entry, u32 base) {
    *desc = (struct user_desc){0};
    desc->entry_number = entry;
    desc->base_addr = base;
    desc->limit = 0xfffff;
    desc->seg_32bit = 1;
    desc->limit_in_pages = 1;
    desc->useable = 1;
}

static void block_signals(u32 old[2]) {
    u32 all[2] = {~0u, ~0u};
    syscall(SYS_RT_SIGPROCMASK, SIG_SETMASK, all, old, 8);
}
static void restore_signals(u32 old[2]) {
    syscall(SYS_RT_SIGPROCMASK, SIG_SETMASK, old, 0, 8);
}

/* Points %gs at a fresh local entry with the current base; returns the entry
 * index (0 when none could be had: then %gs stays as it was). Under the
 * lock. */
static u32 move_gs_to_local(void) {
    u32 i;
    for (i = 0; i < LOCAL_COUNT; ++i) {
        const u32 candidate = (local_next + i) % LOCAL_COUNT;
        if (local_used[candidate]) continue;
        struct user_desc desc;
        data_segment(&desc, LOCAL_FIRST + candidate, gs_base());
        if (syscall(SYS_MODIFY_LDT, 1, &desc, sizeof desc) != 0) return 0;
        local_used[candidate] = 1;
        local_next = (candidate + 1) % LOCAL_COUNT;
        set_gs(((LOCAL_FIRST + candidate) << 3) | 7);
        return LOCAL_FIRST + candidate;
    }
    return 0;
}

/* Thread exit (return or pthread_exit): the entry may be handed out again.
 * Its descriptor stays as it is until then, for the rest of the exit path;
 * entries are handed out round the table, so that is a long time. */
static void release_local(void* value) {
    const u32 entry = (u32)value;
    lock();
    local_used[entry - LOCAL_FIRST] = 0;
    unlock();
}

struct start {
    void* (*routine)(void*);
    void* argument;
};

static void* thread_start(void* raw) {
    struct start start = *(struct start*)raw;
    free(raw);
    u32 old[2];
    block_signals(old);
    lock();
    const u32 entry = move_gs_to_local();
    unlock();
    restore_signals(old);
    if (entry) pthread_setspecific(exit_key, (void*)entry);
    return start.routine(start.argument);
}

int pthread_create(void* thread, const void* attributes, void* (*routine)(void*), void* argument) {
    if (!active) return real_pthread_create(thread, attributes, routine, argument);
    struct start* start = malloc(sizeof *start);
    if (!start) return 11; /* EAGAIN */
    start->routine = routine;
    start->argument = argument;
    u32 old[2];
    block_signals(old);
    lock();
    const u32 own = get_gs();
    struct user_desc desc;
    data_segment(&desc, global_entry, gs_base());
    syscall(SYS_SET_THREAD_AREA, &desc);
    set_gs((global_entry << 3) | 3);
    const int result = real_pthread_create(thread, attributes, thread_start, start);
    set_gs(own);
    unlock();
    restore_signals(old);
    if (result != 0) free(start);
    return result;
}

static void move_threads_off_global_tls(void) {
    real_pthread_create = (pthread_create_fn)dlsym(RTLD_NEXT, "pthread_create");
    const u32 selector = get_gs();
    /* Only a global-table selector with the requested privilege 3. */
    if (!real_pthread_create || (selector & 7) != 3) return;
    global_entry = selector >> 3;
    if (global_entry < TLS_ENTRY_FIRST || global_entry > TLS_ENTRY_LAST) return;
    if (pthread_key_create(&exit_key, release_local) != 0) return;
    u32 entry;
    for (entry = TLS_ENTRY_FIRST; entry <= TLS_ENTRY_LAST; ++entry) {
        if (entry == global_entry) continue;
        struct user_desc desc;
        data_segment(&desc, entry, 0);
        syscall(SYS_SET_THREAD_AREA, &desc);
    }
    lock();
    const u32 local = move_gs_to_local();
    unlock();
    active = local != 0;
}
