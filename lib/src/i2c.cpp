// i2c-dev handle primitives and the slice multiplexer.
#include "board_lock.h"
#include "board_map.h"
#include "i2c_session.h"
#include "log.h"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

using namespace qelt;

// The slave devices need this long between messages; a message of more
// than four bytes to an EEPROM also covers its write cycle.
constexpr useconds_t short_pause_us = 500;
constexpr useconds_t long_pause_us = 6000;

enum class transfer_kind { read, write };

// Both message buffers of a handle hold this many bytes.
constexpr std::uint8_t max_message = sizeof(qelt_i2c::wbuf);
static_assert(sizeof(qelt_i2c::rbuf) == max_message);

void report_transfer_failure(site where, transfer_kind kind, std::uint8_t requested, std::uint8_t moved)
{
    if (kind == transfer_kind::write)
        log_error(where, "I2C Write Failure: BytestoWrite = %d, BytesWritten = %d", requested, moved);
    else
        log_error(where, "I2C Read Failure: BytestoRead = %d, BytesRead = %d", requested, moved);
}

// A count outside the handle's buffers would move bytes beyond them; it is
// refused before anything reaches the bus, as a transfer of nothing.
bool length_fits(site where, transfer_kind kind, std::uint8_t requested)
{
    if (requested >= 1 && requested <= max_message)
        return true;
    report_transfer_failure(where, kind, requested, 0);
    return false;
}

// Pauses whatever the outcome, then judges the transfer by the low byte of
// the count (so a failed call shows as 255 bytes moved).
int finish_transfer(site where, transfer_kind kind, std::uint8_t requested, ssize_t moved)
{
    usleep(requested > 4 ? long_pause_us : short_pause_us);
    const auto low = static_cast<std::uint8_t>(moved);
    if (low == requested)
        return 0;
    report_transfer_failure(where, kind, requested, low);
    return 1;
}

struct mux_route {
    std::uint8_t address;
    std::uint8_t control;
};

// Slices 0..4 sit on channels 0..4 of the low switch, slices 5..8 on
// channels 0..3 of the high one; the board-level channels 9..11 take the
// low switch's remaining downstream ports 5..7.
constexpr mux_route route_of(std::uint8_t channel)
{
    if (channel >= 5 && channel <= 8)
        return {map::mux::high_switch, static_cast<std::uint8_t>(1u << (channel - 5))};
    if (channel >= map::mux::som_monitor)
        return {map::mux::low_switch, static_cast<std::uint8_t>(1u << (channel - 4))};
    return {map::mux::low_switch, static_cast<std::uint8_t>(1u << channel)};
}

// One control byte straight to the switch: its transfers need no pause.
ssize_t switch_write(qelt_i2c *h, std::uint8_t control)
{
    h->wbuf[0] = control;
    return write(h->fd, h->wbuf, 1);
}

} // namespace

extern "C" {

int qelt_i2c_init(qelt_i2c *h)
{
    const board_lock lock;
    h->fd = open(h->path, O_RDWR | O_CLOEXEC);
    if (h->fd < 0)
        log_error(QELT_HERE, "QELT I2C Device Init Failed : %s", h->path);
    qelt_led_set(1);
    return 0;
}

int qelt_i2c_devselect(qelt_i2c *h, uint8_t addr)
{
    const board_lock lock;
    if (ioctl(h->fd, I2C_SLAVE_FORCE, static_cast<unsigned long>(addr)) < 0) {
        log_error(QELT_HERE, "Unable to configure I2C slave device at addr %02x!", addr);
        return 1;
    }
    return 0;
}

int qelt_i2c_write(qelt_i2c *h)
{
    const board_lock lock;
    if (!length_fits(QELT_HERE, transfer_kind::write, h->wlen))
        return 1;
    return finish_transfer(QELT_HERE, transfer_kind::write, h->wlen, write(h->fd, h->wbuf, h->wlen));
}

int qelt_i2c_read(qelt_i2c *h)
{
    const board_lock lock;
    if (!length_fits(QELT_HERE, transfer_kind::read, h->rlen))
        return 1;
    return finish_transfer(QELT_HERE, transfer_kind::read, h->rlen, read(h->fd, h->rbuf, h->rlen));
}

int qelt_i2c_mux_enable(qelt_i2c *h, uint8_t channel)
{
    const board_lock lock;
    // Disconnect both switches first so that no channel of the other one
    // stays on the bus; these results do not matter.
    (void)ioctl(h->fd, I2C_SLAVE_FORCE, static_cast<unsigned long>(map::mux::low_switch));
    (void)switch_write(h, 0);
    (void)ioctl(h->fd, I2C_SLAVE_FORCE, static_cast<unsigned long>(map::mux::high_switch));
    (void)switch_write(h, 0);

    if (channel > map::mux::max_channel) {
        log_error(QELT_HERE, "Slice channel %d is out of bound(0..11)!", channel);
        return 1;
    }
    const mux_route route = route_of(channel);
    if (ioctl(h->fd, I2C_SLAVE_FORCE, static_cast<unsigned long>(route.address)) < 0) {
        log_error(QELT_HERE, "Unable to set the I2C Mux address %02x", route.address);
        return 1;
    }
    log_info(QELT_HERE, "Selected Channel [%d]; Slave Device [0x%x]; Mux Reg Value[0x%x]", channel,
             route.address, route.control);
    if (switch_write(h, route.control) != 1) {
        log_error(QELT_HERE, "Write I2C Mux Reg failed");
        return 1;
    }
    if (read(h->fd, h->rbuf, 1) != 1) {
        log_error(QELT_HERE, "Read I2C Mux Reg failed");
        return 1;
    }
    // The byte read back is only shown: a switch that answers otherwise
    // still counts as selected.
    log_info(QELT_HERE, "Mux Reg Expected[0x%x] Actual[0x%x]", route.control, h->rbuf[0]);
    log_info(QELT_HERE, "Mux Enable for PSU Successful!");
    return 0;
}

int qelt_i2c_close(qelt_i2c *h)
{
    const board_lock lock;
    if (h->fd >= 0)
        close(h->fd);
    h->fd = -1;
    qelt_led_clear(1);
    return 0;
}

} // extern "C"
