// One I2C handle for the length of one library operation: opened (LED 1
// lit) on construction, closed (LED 1 out) on every path out.
#pragma once

#include "log.h"

#include <qelt/qelt.h>

#include <cstdint>
#include <initializer_list>
#include <span>

namespace qelt {

// Which step of a register access failed.
enum class xfer : std::uint8_t { ok, write_failed, read_failed };

class i2c_session {
  public:
    explicit i2c_session(const char *bus);
    ~i2c_session();
    i2c_session(const i2c_session &) = delete;
    i2c_session &operator=(const i2c_session &) = delete;

    qelt_i2c &handle() { return h_; }

    bool mux(std::uint8_t channel) { return qelt_i2c_mux_enable(&h_, channel) == 0; }
    bool select(std::uint8_t addr) { return qelt_i2c_devselect(&h_, addr) == 0; }

    // One message; the first byte is the register or memory address.
    bool send(std::initializer_list<std::uint8_t> bytes);
    bool send(std::span<const std::uint8_t> bytes);

    // One message of `count` bytes into received().
    bool receive(std::uint8_t count);

    // A register read: the register number (one or more address bytes) as
    // one message, then `count` bytes as another.
    xfer read_register(std::initializer_list<std::uint8_t> address, std::uint8_t count);

    std::span<const std::uint8_t> received() const { return {h_.rbuf, h_.rlen}; }
    // The first two received bytes, most significant first.
    std::uint16_t received_u16() const { return static_cast<std::uint16_t>((h_.rbuf[0] << 8) | h_.rbuf[1]); }

  private:
    qelt_i2c h_{};
};

// Routes the base-board bus to a slice and addresses one of its devices,
// reporting "Unable to open MUX I2C for slice %d" or "Unable to setup I2C
// device for slice %d" on behalf of `where`.
bool open_slice_device(site where, i2c_session &bus, std::uint8_t slice, std::uint8_t addr);

// How a register failure report names the device: "I2C (0x..)" for most,
// "I2C PSU(0x..)" for the slice expanders.
enum class device_label : std::uint8_t { plain, psu };

// The common "Unable to write/read I2C (0x%02x), Reg(0x%02x)" report.
void report_register_failure(site where, xfer failed, std::uint8_t addr, std::uint8_t reg,
                             device_label label = device_label::plain);

} // namespace qelt
