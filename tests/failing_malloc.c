/* A malloc that fails on request, for the tests of libstemmer's allocation
 * failures (test_libstemmer_failures.py). Built at test time and preloaded
 * into a child interpreter; the child sets the variables below through
 * ctypes.
 *
 * Only calls whose caller lies in [failing_malloc_lo, failing_malloc_hi)
 * can fail: the child sets that range to libstemmer's mappings, so the
 * interpreter's own allocations (and the module's) always succeed and
 * each failure lands inside libstemmer, where CPython's own fault
 * injection cannot reach. While failing_malloc_skip is -1 nothing fails;
 * at n >= 0 the next n calls from the range succeed and every one after
 * them fails, until the child sets it back to -1.
 *
 * The real allocator is reached through glibc's __libc_* entry points
 * rather than dlsym, which itself allocates on its first call. free is
 * left alone: the blocks are glibc's either way. The child is single-
 * threaded while armed, so the counters need no atomics. */
#include <errno.h>
#include <stddef.h>
#include <stdint.h>

extern void *__libc_malloc(size_t size);
extern void *__libc_calloc(size_t count, size_t size);
extern void *__libc_realloc(void *block, size_t size);

uintptr_t failing_malloc_lo;
uintptr_t failing_malloc_hi;
long failing_malloc_skip = -1;
/* Calls from the range seen while armed, and how many of them failed. */
long failing_malloc_calls;
long failing_malloc_failed;

static int
should_fail(void *caller)
{
    const uintptr_t at = (uintptr_t)caller;
    if (failing_malloc_skip < 0 || at < failing_malloc_lo ||
        at >= failing_malloc_hi) {
        return 0;
    }
    ++failing_malloc_calls;
    if (failing_malloc_skip > 0) {
        --failing_malloc_skip;
        return 0;
    }
    ++failing_malloc_failed;
    errno = ENOMEM;
    return 1;
}

/* noinline: the return address must be the allocator's caller's. */
__attribute__((noinline)) void *
malloc(size_t size)
{
    if (should_fail(__builtin_return_address(0))) {
        return NULL;
    }
    return __libc_malloc(size);
}

__attribute__((noinline)) void *
calloc(size_t count, size_t size)
{
    if (should_fail(__builtin_return_address(0))) {
        return NULL;
    }
    return __libc_calloc(count, size);
}

__attribute__((noinline)) void *
realloc(void *block, size_t size)
{
    if (should_fail(__builtin_return_address(0))) {
        return NULL;
    }
    return __libc_realloc(block, size);
}
