#include "i2c_session.h"

#include <algorithm>
#include <cstring>

namespace qelt {

i2c_session::i2c_session(const char *bus)
{
    h_.path = bus;
    qelt_i2c_init(&h_);
}

i2c_session::~i2c_session() { qelt_i2c_close(&h_); }

bool i2c_session::send(std::initializer_list<std::uint8_t> bytes)
{
    return send(std::span<const std::uint8_t>(bytes.begin(), bytes.size()));
}

bool i2c_session::send(std::span<const std::uint8_t> bytes)
{
    const std::size_t n = std::min(bytes.size(), sizeof h_.wbuf);
    std::memcpy(h_.wbuf, bytes.data(), n);
    h_.wlen = static_cast<std::uint8_t>(n);
    return qelt_i2c_write(&h_) == 0;
}

bool i2c_session::receive(std::uint8_t count)
{
    h_.rlen = std::min<std::uint8_t>(count, sizeof h_.rbuf);
    return qelt_i2c_read(&h_) == 0;
}

xfer i2c_session::read_register(std::initializer_list<std::uint8_t> address, std::uint8_t count)
{
    if (!send(address))
        return xfer::write_failed;
    if (!receive(count))
        return xfer::read_failed;
    return xfer::ok;
}

bool open_slice_device(site where, i2c_session &bus, std::uint8_t slice, std::uint8_t addr)
{
    if (!bus.mux(slice)) {
        log_error(where, "Unable to open MUX I2C for slice %d", slice);
        return false;
    }
    if (!bus.select(addr)) {
        log_error(where, "Unable to setup I2C device for slice %d", slice);
        return false;
    }
    return true;
}

void report_register_failure(site where, xfer failed, std::uint8_t addr, std::uint8_t reg, device_label label)
{
    const bool psu = label == device_label::psu;
    if (failed == xfer::write_failed && psu)
        log_error(where, "Unable to write I2C PSU(0x%02x), Reg(0x%02x)", addr, reg);
    else if (failed == xfer::write_failed)
        log_error(where, "Unable to write I2C (0x%02x), Reg(0x%02x)", addr, reg);
    else if (failed == xfer::read_failed && psu)
        log_error(where, "Unable to read I2C PSU(0x%02x), Reg(0x%02x)", addr, reg);
    else if (failed == xfer::read_failed)
        log_error(where, "Unable to read I2C (0x%02x), Reg(0x%02x)", addr, reg);
}

} // namespace qelt
