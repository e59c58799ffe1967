// The simulated board: every register and memory cell of the devices the
// library reaches, kept in one file that every process loading the
// simulator maps shared. The layout is plain data so that it means the
// same in every process; all changes are made under the board lock.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>

namespace qsim {

inline constexpr int slice_count = 9;

// Physical memory the board decodes: the AXI GPIO blocks, the SPI-slave
// register block and a window of plain RAM for memory reads and writes.
enum class region : std::uint8_t { spis, control, matrix, select, framesync, ram, count };

struct region_info {
    const char *name;
    std::uint64_t phys;
};

inline constexpr region_info regions[] = {
    {"spis", 0xA0020000},   {"control", 0xA0050000},   {"matrix", 0xA0060000},
    {"select", 0xA0070000}, {"framesync", 0xA0080000}, {"ram", 0x10000000},
};
inline constexpr int region_count = static_cast<int>(region::count);
static_assert(std::size(regions) == region_count);

// Each region decodes one 64 KiB window, the largest page size an AArch64
// kernel uses. Programs map whole pages of the running kernel's size
// (4, 16 or 64 KiB), and every window starts at a file offset that each of
// those sizes divides, so one board file serves them all.
inline constexpr std::uint32_t window_size = 0x10000;

// --- I2C devices -------------------------------------------------------------

struct i2c_switch {
    std::uint8_t control; // bit n connects downstream channel n
    std::uint8_t dead;    // control bits that never latch (a damaged switch)
};

// TCA9535 16-bit I/O expander: register pairs, pointer toggles within a pair.
struct expander {
    std::uint8_t reg[8];
    std::uint8_t pointer;
};

// INA3221 three-channel monitor: 16-bit registers, big-endian on the bus.
struct monitor {
    std::uint16_t reg[0x100];
    std::uint8_t pointer;
};

// 24xx EEPROM with 2-byte addressing, page-wrapping writes and sequential
// reads across the whole array.
struct eeprom {
    std::uint8_t mem[32768];
    std::uint16_t size;    // bytes; addresses wrap at the size
    std::uint16_t page;    // write page size
    std::uint16_t address; // internal address counter
    std::uint8_t write_protect;
};

// Temperature sensor with one-shot conversion: the configuration's high
// byte reads 0x0C while converting and 0x2C when done.
struct temp_sensor {
    std::uint16_t reg[4];
    std::uint8_t pointer;
    std::uint16_t busy_reads;       // configuration reads left before done
    std::uint16_t conversion_reads; // reads a conversion takes; 0xFFFF never ends
};

// VDCDC regulator: byte registers behind a pointer.
struct vdcdc {
    std::uint8_t reg[16];
    std::uint8_t pointer;
};

struct slice_slot {
    std::uint8_t fitted;
    expander io;                 // on the base board, one per slot: answers whether fitted or not
    monitor rails;               // on the base board, one per slot
    eeprom storage;              // on the slice
    temp_sensor sensor;          // on slices 5..8 only
    std::uint8_t dsa[4];         // last byte latched per chip select
    std::uint32_t dsa_writes[4]; // transfers latched per chip select
};

// --- Faults and trace -----------------------------------------------------

enum class fault_kind : std::uint8_t {
    none,
    open,       // opening `path` fails (device node missing or busy)
    mem_map,    // mapping /dev/mem fails
    spi_mode,   // spidev mode ioctl refused on chip select `addr` (0xFF: any)
    spi_bits,   // word size ioctl refused
    spi_speed,  // clock ioctl refused
    spi_xfer,   // SPI_IOC_MESSAGE refused
    i2c_select, // I2C_SLAVE_FORCE refused for `addr` on `bus`
    i2c_nack,   // device `addr` on `bus` does not acknowledge (see `ops`)
    accept,     // accept() on a listening socket fails with `error`
};

inline constexpr std::uint8_t fault_any = 0xFF;
inline constexpr std::uint8_t op_read = 1;
inline constexpr std::uint8_t op_write = 2;

struct fault {
    fault_kind kind;
    std::uint8_t bus;   // I2C bus, or fault_any
    std::uint8_t addr;  // I2C address or chip select, or fault_any
    std::uint8_t ops;   // op_read | op_write for i2c_nack
    std::int32_t skip;  // matching operations that still succeed first
    std::int32_t count; // failures left; negative: for ever
    std::int32_t error; // errno of an accept fault
    char path[64];
};
inline constexpr int max_faults = 16;

enum class trace_kind : std::uint8_t {
    open,
    close,
    mem_map,
    mem_unmap,
    i2c_address,
    i2c_write,
    i2c_read,
    spi_transfer
};

// Who answered an I2C transfer.
enum class device_kind : std::uint8_t { none, mux, expander, monitor, eeprom, sensor, vdcdc, several };

// How an SPI transfer was framed, as its spi_ioc_transfer asked.
struct spi_framing {
    std::uint8_t cs_change; // chip select left asserted after the last transfer
    std::uint8_t tx_nbits;  // lines each way; 0 means one
    std::uint8_t rx_nbits;
    std::uint8_t has_tx; // whether a buffer was given each way
    std::uint8_t has_rx;
};

struct trace_entry {
    std::uint64_t seq;
    std::int32_t pid;
    trace_kind kind;
    std::uint8_t ok;
    std::uint8_t bus;  // I2C bus or chip select
    std::uint8_t addr; // I2C address
    device_kind device;
    std::int8_t slice;      // slice of the device that answered, -1 board-level
    std::uint16_t len;      // bytes moved (full length, even if data is cut)
    std::uint32_t value;    // slice select at an SPI transfer, physical page of a mapping,
                            // ioctl request of an I2C address selection
    std::uint32_t pause_us; // I2C: sleep the caller asked for right after this transfer
    spi_framing spi;        // SPI transfers only
    std::uint8_t data[136]; // first bytes moved
};
inline constexpr std::uint32_t trace_capacity = 1u << 16;

// --- The board -----------------------------------------------------------------

inline constexpr std::uint32_t board_magic = 0x51454C54; // "QELT"
inline constexpr std::uint32_t board_version = 4;

struct board {
    std::uint32_t magic;
    std::uint32_t version;
    pthread_mutex_t lock; // process-shared, robust

    i2c_switch mux[2]; // 0x76 (slices 0..4, SOM monitor, VDCDC), 0x77 (slices 5..8)
    slice_slot slices[slice_count];
    monitor som_monitor;
    eeprom som_eeprom;
    eeprom bb_eeprom;
    vdcdc regulator;
    std::uint8_t spi_mode[4];
    std::uint8_t spi_bits[4];
    std::uint32_t spi_speed[4];

    fault faults[max_faults];

    std::uint64_t trace_total; // entries ever recorded; the ring keeps the last ones
    trace_entry trace[trace_capacity];
};

// The file: the register windows first, at offset 0 (mapped into programs
// as their /dev/mem pages), then the board.
struct board_file_layout {
    std::uint8_t windows[region_count][window_size];
    board state;
};

// Offset into the register windows of a physical address, or -1 when the
// board decodes none.
std::int64_t window_offset(std::uint64_t phys);
// The 32-bit register at an offset window_offset returned.
std::uint32_t *register_word(board_file_layout &f, std::int64_t at);
std::uint32_t *register_at(board_file_layout &f, region r, std::uint32_t offset);

} // namespace qsim
