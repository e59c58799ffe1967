#include "phys_mem.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

// Calls fn(page_words, count) for each page the words starting at address
// touch, with that page mapped for the call only. False when a page could
// not be mapped.
template <typename Fn> bool for_each_page(std::uint64_t address, std::uint32_t count, Fn fn)
{
    const long page_size = sysconf(_SC_PAGESIZE);
    const int fd = open_dev_mem();
    if (fd < 0)
        return false;
    bool mapped = true;
    while (count > 0) {
        const mapped_page page = map_physical_page(address, page_size, fd);
        mapped = page.map != nullptr;
        if (!mapped)
            break;
        const std::uint32_t in_page = (static_cast<std::uint32_t>(page_size) - page.offset) / 4;
        const std::uint32_t n = std::min(count, in_page);
        fn(reinterpret_cast<volatile std::uint32_t *>(static_cast<char *>(page.map) + page.offset), n);
        unmap_physical_page(page.map, page_size);
        address += 4ull * n;
        count -= n;
    }
    close(fd);
    return mapped;
}

} // namespace

int open_dev_mem()
{
    const int fd = open("/dev/mem", O_RDWR | O_SYNC | O_CLOEXEC);
    if (fd < 0)
        std::printf("*** hwc: Error opening memory for reading/writing\n");
    return fd;
}

mapped_page map_physical_page(std::uint64_t address, long page_size, int fd)
{
    const std::uint64_t base = address & ~static_cast<std::uint64_t>(page_size - 1);
    void *map = mmap(nullptr, static_cast<std::size_t>(page_size), PROT_READ | PROT_WRITE, MAP_SHARED, fd,
                     static_cast<off_t>(base));
    if (map == MAP_FAILED) {
        std::printf("*** hwc: Mapping physical to virtual failed for address=0x%010llX\n",
                    static_cast<unsigned long long>(address));
        std::perror("*** hwc: mmap failed: ");
        return {nullptr, 0};
    }
    return {map, static_cast<std::uint32_t>(address - base)};
}

void unmap_physical_page(void *map, long page_size)
{
    if (munmap(map, static_cast<std::size_t>(page_size)) != 0) {
        std::perror("*** hwc: munmap failed: ");
        std::exit(-1);
    }
}

int mem_read_words(std::uint64_t address, std::uint32_t count, std::uint32_t *dest, bool swap)
{
    const bool done = for_each_page(address, count, [&](volatile std::uint32_t *words, std::uint32_t n) {
        for (std::uint32_t i = 0; i < n; ++i)
            *dest++ = swap ? htonl(words[i]) : words[i];
    });
    return done ? 0 : -1;
}

int mem_write_words(std::uint64_t address, std::uint32_t count, const std::uint32_t *src, bool swap)
{
    const bool done = for_each_page(address, count, [&](volatile std::uint32_t *words, std::uint32_t n) {
        for (std::uint32_t i = 0; i < n; ++i)
            words[i] = swap ? ntohl(*src++) : *src++;
    });
    return done ? 0 : -1;
}
