// Temperature of a slice: the sensor on slices 5..8, reached on the PL bus
// through the slice select.
#include "board_lock.h"
#include "board_map.h"
#include "convert.h"
#include "gpio_block.h"
#include "i2c_session.h"
#include "log.h"
#include "slice_check.h"

namespace {

using namespace qelt;

constexpr std::uint8_t result_reg = 0x00;
constexpr std::uint8_t config_reg = 0x01;
constexpr std::uint16_t one_shot = 0x0C20;
// High byte of the configuration once the conversion is done.
constexpr std::uint8_t conversion_done = 0x2C;
constexpr int max_polls = 99;

} // namespace

extern "C" {

int qelt_board_temperature(qelt_slice *table, uint8_t slice)
{
    const board_lock lock;
    if (!slice_index_ok(QELT_HERE, slice))
        return 1;
    if (table[slice].present == 0 || slice < map::first_sensor_slice) {
        log_info(QELT_HERE, "Temperature Sensor Not Present on Slice!\\n");
        return 1;
    }
    i2c_session bus(map::pl_bus);
    // Without the select the sensor read would be another slice's.
    if (!select_slice(slice))
        return 1;
    if (!bus.select(map::temp_addr)) {
        log_error(QELT_HERE, "Unable to setup I2C device for slice %d", slice);
        return 1;
    }
    log_info(QELT_HERE, "Board temperature One-Shot Conversion Mode for slice %d", slice);
    if (!bus.send({config_reg, static_cast<std::uint8_t>(one_shot >> 8),
                   static_cast<std::uint8_t>(one_shot & 0xFF)})) {
        report_register_failure(QELT_HERE, xfer::write_failed, map::temp_addr, config_reg);
        return 1;
    }

    // The pointer still addresses the configuration. A sensor that never
    // reports completion is given up on after a bounded number of reads,
    // and its last result is taken anyway.
    qelt_i2c &h = bus.handle();
    h.rbuf[0] = 0;
    for (int polls = 0; polls < max_polls && h.rbuf[0] != conversion_done; ++polls)
        (void)bus.receive(2);

    const xfer r = bus.read_register({result_reg}, 2);
    if (r != xfer::ok) {
        report_register_failure(QELT_HERE, r, map::temp_addr, result_reg);
        return 1;
    }
    const float celsius = convert::temperature_celsius(h.rbuf[0], h.rbuf[1]);
    table[slice].temperature = celsius;
    log_info(QELT_HERE, "Board Temperature for Slice %d = %0.2f C!!\\n", slice, celsius);
    return 0;
}

} // extern "C"
