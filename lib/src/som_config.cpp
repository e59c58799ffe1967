// The SOM's configuration EEPROM: revision, serial number, SKU,
// manufacturing date and MAC id, copied as stored.
#include "board_lock.h"
#include "board_map.h"
#include "i2c_session.h"
#include "log.h"

#include <cstddef>
#include <cstring>

namespace {

using namespace qelt;

struct som_field {
    std::uint8_t address; // the high address byte is 0 for every field
    std::uint8_t length;
    std::size_t offset; // in qelt_som
};

// In the order they are read.
constexpr som_field fields[] = {
    {0x0B, sizeof qelt_som::date, offsetof(qelt_som, date)},
    {0x44, sizeof qelt_som::revision, offsetof(qelt_som, revision)},
    {0x27, sizeof qelt_som::serial, offsetof(qelt_som, serial)},
    {0x16, sizeof qelt_som::sku, offsetof(qelt_som, sku)},
    {0x83, sizeof qelt_som::macid, offsetof(qelt_som, macid)},
};

} // namespace

extern "C" {

int qelt_som_config_read(qelt_som *som)
{
    const board_lock lock;
    // The EEPROM sits in front of the multiplexers, which stay as they are.
    i2c_session bus(map::board_bus);
    if (!bus.select(map::som_eeprom_addr)) {
        log_error(QELT_HERE, "Unable to initialize I2C device at Addr : 0x%X", map::som_eeprom_addr);
        return 1;
    }
    for (const som_field &f : fields) {
        const xfer r = bus.read_register({0x00, f.address}, f.length);
        if (r == xfer::write_failed) {
            log_error(QELT_HERE, "Unable to write I2C Addr (0x%02x), Reg(0x%02x)", map::som_eeprom_addr,
                      f.address);
            return 1;
        }
        if (r == xfer::read_failed) {
            log_error(QELT_HERE, "Unable to read I2C Addr (0x%02x), Reg(0x%02x)", map::som_eeprom_addr,
                      f.address);
            return 1;
        }
        // Text fields carry no terminator: a full field runs into the next.
        std::memcpy(reinterpret_cast<std::uint8_t *>(som) + f.offset, bus.received().data(), f.length);
    }
    return 0;
}

} // extern "C"
