// Slice and base-board EEPROMs: a two-byte length header (most significant
// byte first) at address 0, the data behind it, moved in chunks that never
// cross a device page.
#include "board_lock.h"
#include "board_map.h"
#include "gpio_block.h"
#include "i2c_session.h"
#include "log.h"
#include "slice_check.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

namespace {

using namespace qelt;

// Reports from the helpers below carry the exported operation's name and
// the line of the reporting statement.
#define QELT_IN(op) (::qelt::site{op, __LINE__})

// The largest length a read accepts from a header (2..32765), and so the
// largest a write may store; it also keeps a slice write inside the record's
// 32 KiB image.
constexpr std::uint32_t max_data_len = 32765;
// A slice chunk goes out in one I2C message together with its two address
// bytes, and a page of the slice EEPROM is 64 bytes.
constexpr std::uint8_t max_slice_chunk = 64;
constexpr std::uint8_t bb_chunk = 32;

struct eeprom_device {
    const char *bus;
    std::uint8_t addr;
    int slice; // -1: the base board's own EEPROM
    std::uint8_t chunk;
};

eeprom_device slice_eeprom(std::uint8_t slice, std::uint8_t page_size)
{
    return {map::pl_bus, map::slice_eeprom_addr, slice, page_size};
}

constexpr eeprom_device base_board_eeprom{map::board_bus, map::bb_eeprom_addr, -1, bb_chunk};

// One open EEPROM on its bus for the length of one operation.
class eeprom_transfer {
  public:
    eeprom_transfer(const char *op, const eeprom_device &dev) : op_(op), dev_(dev), bus_(dev.bus) {}

    bool select()
    {
        if (bus_.select(dev_.addr))
            return true;
        if (dev_.slice >= 0)
            log_error(QELT_IN(op_), "Unable to select EEPROM Addr 0x%2x on PL I2C device for slice %d",
                      dev_.addr, dev_.slice);
        else
            log_error(QELT_IN(op_), "Unable to setup I2C device at %x", dev_.addr);
        return false;
    }

    // The data length n from the header, or nothing when the header cannot
    // be read or holds no readable length.
    std::optional<std::uint16_t> read_length()
    {
        const xfer result = bus_.read_register({0x00, 0x00}, 2);
        if (result != xfer::ok) {
            report_register_failure(QELT_IN(op_), result, dev_.addr, 0);
            return std::nullopt;
        }
        const std::uint16_t n = bus_.received_u16();
        // Lengths 0 and 1 and an erased header (0xFFFF) all wrap above the
        // limit here.
        if (static_cast<std::uint16_t>(n - 2) > max_data_len - 2) {
            log_error(QELT_IN(op_),
                      "Error reading EEPROM, please check write protect and ensure EEPROM is written");
            log_error(QELT_IN(op_), "Bytes to read from EEPROM is %d", static_cast<std::uint16_t>(n + 2));
            return std::nullopt;
        }
        return n;
    }

    // Reads the header again with the data so that every chunk starts on a
    // chunk boundary; device address a lands at data offset a - 2.
    bool read_data(std::uint8_t *data, std::uint32_t n)
    {
        std::uint32_t address = 0;
        std::uint32_t remaining = n + 2;
        while (remaining != 0) {
            const auto count = static_cast<std::uint8_t>(std::min<std::uint32_t>(dev_.chunk, remaining));
            const xfer result = bus_.read_register(
                {static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address)}, count);
            if (result == xfer::write_failed) {
                log_error(QELT_IN(op_), "Unable to write I2C (0x%02x), Reg(0x%X)", dev_.addr, address);
                return false;
            }
            if (result == xfer::read_failed) {
                log_error(QELT_IN(op_), "Unable to read I2C (0x%02x), Reg(0x%X)", dev_.addr, address);
                return false;
            }
            // A chunk smaller than the header may hold header bytes only.
            const std::uint32_t header_part = address < 2 ? std::min<std::uint32_t>(2 - address, count) : 0;
            if (count > header_part)
                std::memcpy(data + (address + header_part - 2), bus_.received().data() + header_part,
                            count - header_part);
            address += count;
            remaining -= count;
        }
        return true;
    }

    // Writes the header and the data, chunk by chunk; the I2C layer's pause
    // after each message covers the EEPROM's write cycle.
    bool write_data(const std::uint8_t *data, std::uint32_t n)
    {
        const std::uint8_t header[2] = {static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
        std::uint8_t message[2 + max_slice_chunk];
        std::uint32_t address = 0;
        std::uint32_t remaining = n + 2;
        while (remaining != 0) {
            const std::uint32_t count = std::min<std::uint32_t>(dev_.chunk, remaining);
            message[0] = static_cast<std::uint8_t>(address >> 8);
            message[1] = static_cast<std::uint8_t>(address);
            for (std::uint32_t i = 0; i < count; ++i) {
                const std::uint32_t a = address + i;
                message[2 + i] = a < 2 ? header[a] : data[a - 2];
            }
            if (!bus_.send(std::span<const std::uint8_t>(message, 2 + count))) {
                log_error(QELT_IN(op_), "Unable to write I2C (0x%02x), Reg(0x%04X)", dev_.addr, address);
                return false;
            }
            address += count;
            remaining -= count;
        }
        return true;
    }

  private:
    const char *op_;
    eeprom_device dev_;
    i2c_session bus_;
};

// The data as characters at log level 3 exactly, then the line end that
// every successful transfer prints.
void show_data(const std::uint8_t *data, std::uint32_t n)
{
    flockfile(stdout);
    if (dump_enabled()) {
        std::fputs("EEPROM Data : ", stdout);
        if (n != 0)
            std::fwrite(data, 1, n, stdout);
    }
    std::putchar('\n');
    funlockfile(stdout);
}

// What every slice transfer needs before it touches the bus: a slice number
// the table has, a fitted slice, and a chunk size the loops can use.
bool slice_transfer_allowed(const char *op, const qelt_slice *table, std::uint8_t slice)
{
    if (!slice_index_ok(QELT_IN(op), slice) || !slice_fitted(QELT_IN(op), table, slice))
        return false;
    const std::uint8_t page = table[slice].eeprom_page_size;
    if (page == 0 || page > max_slice_chunk) {
        log_error(QELT_IN(op), "Slice %d EEPROM Pagesize = %d is out of range(1..%d)!", slice, page,
                  max_slice_chunk);
        return false;
    }
    return true;
}

} // namespace

extern "C" {

int qelt_eeprom_read(qelt_slice *table, uint8_t slice)
{
    const board_lock lock;
    if (!slice_transfer_allowed(__func__, table, slice))
        return 1;
    qelt_slice &s = table[slice];
    // Without the select the transfers would reach another slice's EEPROM.
    if (!select_slice(slice))
        return 1;
    eeprom_transfer eeprom(__func__, slice_eeprom(slice, s.eeprom_page_size));
    if (!eeprom.select())
        return 1;
    const std::optional<std::uint16_t> n = eeprom.read_length();
    if (!n)
        return 1;
    s.eeprom_len = *n;
    log_info(QELT_HERE, "Slice %d EEPROM Pagesize = %d, BytestoRead = %d\\n", slice, s.eeprom_page_size, *n);
    if (!eeprom.read_data(s.eeprom, *n))
        return 1;
    show_data(s.eeprom, *n);
    return 0;
}

int qelt_eeprom_write(qelt_slice *table, uint8_t slice)
{
    const board_lock lock;
    if (!slice_transfer_allowed(__func__, table, slice))
        return 1;
    qelt_slice &s = table[slice];
    // Beyond this the header could not say the length and the data would
    // come from past the end of the image.
    if (s.eeprom_len > max_data_len) {
        log_error(QELT_HERE, "Slice %d EEPROM Length = %u is out of range(0..%u)!", slice, s.eeprom_len,
                  max_data_len);
        return 1;
    }
    if (!select_slice(slice))
        return 1;
    eeprom_transfer eeprom(__func__, slice_eeprom(slice, s.eeprom_page_size));
    if (!eeprom.select() || !eeprom.write_data(s.eeprom, s.eeprom_len))
        return 1;
    show_data(s.eeprom, s.eeprom_len);
    return 0;
}

int qelt_eeprom_clear(qelt_slice *table, uint8_t slice)
{
    const board_lock lock;
    if (!slice_index_ok(QELT_HERE, slice))
        return 1;
    std::memset(table[slice].eeprom, 0, sizeof table[slice].eeprom);
    return 0;
}

int qelt_bb_eeprom_read(uint8_t *buf, int *len)
{
    const board_lock lock;
    eeprom_transfer eeprom(__func__, base_board_eeprom);
    if (!eeprom.select())
        return 1;
    const std::optional<std::uint16_t> n = eeprom.read_length();
    if (!n)
        return 1;
    *len = *n;
    if (!eeprom.read_data(buf, *n))
        return 1;
    show_data(buf, *n);
    return 0;
}

int qelt_bb_eeprom_write(const uint8_t *buf, uint32_t n)
{
    const board_lock lock;
    if (n > max_data_len) {
        log_error(QELT_HERE, "Base-Board EEPROM Length = %u is out of range(0..%u)!", n, max_data_len);
        return 1;
    }
    eeprom_transfer eeprom(__func__, base_board_eeprom);
    if (!eeprom.select() || !eeprom.write_data(buf, n))
        return 1;
    show_data(buf, n);
    return 0;
}

} // extern "C"
