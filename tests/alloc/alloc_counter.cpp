// Preloaded into the relay by the allocation test: counts every call of the
// malloc family in a small file that the test maps too, so the test can read
// the count at any moment without stopping or signalling the relay.
// ALLOC_COUNTER_FILE names the file; without it the counts stay private.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>

#include "alloc_counts.h"

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* old, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
}

namespace {

AllocCounts privateCounts;
AllocCounts* counts = &privateCounts;

void countAllocation(size_t size) {
    __atomic_add_fetch(&counts->calls, 1, __ATOMIC_RELAXED);
    __atomic_store_n(&counts->lastSize, size, __ATOMIC_RELAXED);
    __atomic_store_n(&counts->lastThread, static_cast<uint64_t>(syscall(SYS_gettid)), __ATOMIC_RELAXED);
}

// Runs before the relay's main; allocations made earlier (by the loader or
// libc start-up) are carried over into the shared counts.
__attribute__((constructor)) void mapSharedCounts() {
    const char* path = std::getenv(ALLOC_COUNTER_ENV);
    if (path == nullptr) return;
    const int fd = open(path, O_RDWR);
    if (fd < 0) return;
    void* shared = mmap(nullptr, sizeof(AllocCounts), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (shared == MAP_FAILED) return;
    AllocCounts* mapped = static_cast<AllocCounts*>(shared);
    __atomic_add_fetch(&mapped->calls, privateCounts.calls, __ATOMIC_RELAXED);
    __atomic_store_n(&counts, mapped, __ATOMIC_RELEASE);
}

}  // namespace

extern "C" {

void* malloc(size_t size) {
    countAllocation(size);
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
    countAllocation(count * size);
    return __libc_calloc(count, size);
}

void* realloc(void* old, size_t size) {
    countAllocation(size);
    return __libc_realloc(old, size);
}

void* reallocarray(void* old, size_t count, size_t size) {
    size_t total;
    if (__builtin_mul_overflow(count, size, &total)) {
        errno = ENOMEM;
        return nullptr;
    }
    return realloc(old, total);
}

void* memalign(size_t alignment, size_t size) {
    countAllocation(size);
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }

void* valloc(size_t size) { return memalign(static_cast<size_t>(sysconf(_SC_PAGESIZE)), size); }

void* pvalloc(size_t size) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return memalign(page, (size + page - 1) / page * page);
}

int posix_memalign(void** out, size_t alignment, size_t size) {
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
    void* memory = memalign(alignment, size);
    if (memory == nullptr) return ENOMEM;
    *out = memory;
    return 0;
}

}  // extern "C"
