// Counting allocator, preloaded into the server by the server benchmark:
// every allocation call adds one to a counter kept in a shared file, so the
// benchmark can tell whether serving requests allocates.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>

extern "C" {
void *__libc_malloc(std::size_t);
void *__libc_calloc(std::size_t, std::size_t);
void *__libc_realloc(void *, std::size_t);
void *__libc_memalign(std::size_t, std::size_t);
}

namespace {

std::atomic<unsigned long> before_mapping{0};
std::atomic<unsigned long> *counter = &before_mapping;

void count() { counter->fetch_add(1, std::memory_order_relaxed); }

__attribute__((constructor)) void map_counter()
{
    const char *path = std::getenv("QELT_ALLOC_COUNT");
    if (path == nullptr)
        return;
    const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 || ftruncate(fd, sizeof(std::atomic<unsigned long>)) != 0)
        return;
    void *m = mmap(nullptr, sizeof(std::atomic<unsigned long>), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (m == MAP_FAILED)
        return;
    auto *shared = static_cast<std::atomic<unsigned long> *>(m);
    shared->store(before_mapping.load());
    counter = shared;
}

} // namespace

extern "C" {

__attribute__((visibility("default"))) void *malloc(std::size_t n)
{
    count();
    return __libc_malloc(n);
}

__attribute__((visibility("default"))) void *calloc(std::size_t n, std::size_t size)
{
    count();
    return __libc_calloc(n, size);
}

__attribute__((visibility("default"))) void *realloc(void *p, std::size_t n)
{
    count();
    return __libc_realloc(p, n);
}

__attribute__((visibility("default"))) void *aligned_alloc(std::size_t align, std::size_t n)
{
    count();
    return __libc_memalign(align, n);
}

__attribute__((visibility("default"))) int posix_memalign(void **out, std::size_t align, std::size_t n)
{
    count();
    *out = __libc_memalign(align, n);
    return *out == nullptr ? ENOMEM : 0;
}

} // extern "C"
