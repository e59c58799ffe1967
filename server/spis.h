// The SPI-slave register block, where the board's host reads the server's
// address.
#pragma once

#include <cstdint>

void publish_spis_registers(std::uint32_t address, int status_bit0, int status_bit1);
