// Word access to physical memory through "/dev/mem", one page mapped at a
// time for the duration of its own words only.
#pragma once

#include <cstdint>

// The open descriptor, or -1 (reported).
int open_dev_mem();

struct mapped_page {
    void *map;            // nullptr when the page could not be mapped (reported)
    std::uint32_t offset; // of the address within the page
};
mapped_page map_physical_page(std::uint64_t address, long page_size, int fd);
// Ends the process when the page cannot be unmapped.
void unmap_physical_page(void *map, long page_size);

// address must be a multiple of 4. With swap set, words are stored to dest
// (read) or taken from src (write) in network byte order. 0, or -1 when
// "/dev/mem" or one of the pages cannot be mapped (the words of the pages
// before it are moved by then).
int mem_read_words(std::uint64_t address, std::uint32_t count, std::uint32_t *dest, bool swap);
int mem_write_words(std::uint64_t address, std::uint32_t count, const std::uint32_t *src, bool swap);
