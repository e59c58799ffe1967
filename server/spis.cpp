#include "spis.h"

#include "phys_mem.h"

#include <cstdio>

namespace {

// Status, a constant and the address, in three registers one after the
// other from 0xa0020020.
constexpr std::uint64_t spis_registers = 0xa0020020;
constexpr std::uint32_t spis_constant = 1024;

} // namespace

void publish_spis_registers(std::uint32_t address, int status_bit0, int status_bit1)
{
    const std::uint32_t words[] = {static_cast<std::uint32_t>(status_bit0 + 2 * status_bit1), spis_constant,
                                   address};
    // Without the block the host cannot find the server, but the server
    // itself still works: report it and go on.
    if (mem_write_words(spis_registers, 3, words, false) != 0)
        std::perror("   !!!can't open the SPIS memory space!");
}
