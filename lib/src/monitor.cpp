// Rail monitors: the six readings of a slice's or the SOM's INA3221, and
// the warning and critical limits of a slice's monitor.
#include "board_lock.h"
#include "board_map.h"
#include "convert.h"
#include "i2c_session.h"
#include "log.h"
#include "slice_check.h"

#include <cstdio>
#include <cstdlib>

namespace {

using namespace qelt;

bool write_monitor(site where, i2c_session &bus, std::uint8_t reg, std::uint16_t value)
{
    if (bus.send({reg, static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value & 0xFF)}))
        return true;
    report_register_failure(where, xfer::write_failed, map::monitor_addr, reg);
    return false;
}

// Registers 1..6 alternate shunt and bus voltage for channels 1..3. Each
// reading lands in the record as soon as it is read, so a failure part-way
// leaves the earlier ones updated.
bool read_readings(site where, i2c_session &bus, float (&psu)[6])
{
    for (std::uint8_t reg = 1; reg <= 6; ++reg) {
        const xfer r = bus.read_register({reg}, 2);
        if (r != xfer::ok) {
            report_register_failure(where, r, map::monitor_addr, reg);
            return false;
        }
        const std::uint16_t raw = bus.received_u16();
        const bool shunt = reg % 2 == 1;
        const float value =
            shunt ? convert::shunt_current(raw, reg == map::monitor::shunt(2)) : convert::bus_voltage(raw);
        psu[reg - 1] = value;
        if (reg == map::monitor::shunt(0))
            log_info(where, "PSU VDD I = %0.2f A", value);
        else if (reg == map::monitor::shunt(1))
            log_info(where, "PSU V3.0 I = %0.2f A", value);
        else if (reg == map::monitor::shunt(2))
            log_info(where, "PSU V5.0 I = %0.2f A", value);
        else
            log_info(where, "PSU V = %0.2f V", value);
    }
    return true;
}

} // namespace

extern "C" {

int qelt_read_psu(qelt_slice *table, uint8_t slice)
{
    const board_lock lock;
    if (!slice_index_ok(QELT_HERE, slice))
        return 1;
    if (!slice_fitted(QELT_HERE, table, slice))
        return 1;
    log_info(QELT_HERE, "Read PSU V/I values for Slice %d\\n", slice);
    i2c_session bus(map::board_bus);
    if (!open_slice_device(QELT_HERE, bus, slice, map::monitor_addr))
        return 1;
    return read_readings(QELT_HERE, bus, table[slice].psu) ? 0 : 1;
}

int qelt_read_som_psu(qelt_som *som)
{
    const board_lock lock;
    // A null record is the caller's programming error; stop in every build
    // rather than write through it.
    if (som == nullptr) {
        std::fprintf(stderr, "%s: assertion `som != NULL' failed\n", __func__);
        std::abort();
    }
    log_info(QELT_HERE, "Read PSU V/I values for SOM \\n");
    i2c_session bus(map::board_bus);
    if (!bus.mux(map::mux::som_monitor)) {
        log_error(QELT_HERE, "Unable to setup mux enable for channel %d", map::mux::som_monitor);
        return 1;
    }
    if (!bus.select(map::monitor_addr)) {
        log_error(QELT_HERE, "Unable to setup I2C device for Addr: 0x%X", map::monitor_addr);
        return 1;
    }
    // Nothing else sets the SOM's monitor up, so every reading configures
    // it first.
    if (!write_monitor(QELT_HERE, bus, map::monitor::config, map::monitor::config_value))
        return 1;
    return read_readings(QELT_HERE, bus, som->psu) ? 0 : 1;
}

int qelt_cfg_slice_psu(qelt_slice *table, uint8_t slice)
{
    const board_lock lock;
    if (!slice_index_ok(QELT_HERE, slice))
        return 1;
    if (!slice_fitted(QELT_HERE, table, slice))
        return 1;
    i2c_session bus(map::board_bus);
    if (!open_slice_device(QELT_HERE, bus, slice, map::monitor_addr))
        return 1;
    if (!write_monitor(QELT_HERE, bus, map::monitor::config, map::monitor::config_value))
        return 1;

    // mA to shunt-voltage codes: x10 on the 50 mOhm shunts of channels 1
    // and 2, x5 on the 25 mOhm shunt of channel 3.
    constexpr float factor[3] = {10.0f, 10.0f, 5.0f};
    std::uint16_t warning[3];
    std::uint16_t critical[3];
    for (int ch = 0; ch < 3; ++ch) {
        warning[ch] = convert::threshold_code(ina3221_wa_levels[ch * map::slice_count + slice], factor[ch]);
        critical[ch] = convert::threshold_code(ina3221_ca_levels[ch * map::slice_count + slice], factor[ch]);
    }
    log_info(QELT_HERE, "ch1WarnThres = %d", warning[0]);
    log_info(QELT_HERE, "ch2WarnThres = %d", warning[1]);
    log_info(QELT_HERE, "ch3WarnThres = %d", warning[2]);
    log_info(QELT_HERE, "ch1CritThres = %d", critical[0]);
    log_info(QELT_HERE, "ch2CritThres = %d", critical[1]);
    log_info(QELT_HERE, "ch3CritThres = %d", critical[2]);

    // A zero limit would raise its alert for any current: keep the limits
    // the monitor already has.
    for (int ch = 0; ch < 3; ++ch)
        if (warning[ch] == 0 || critical[ch] == 0)
            return 0;

    log_info(QELT_HERE, "Writing thresholds");
    for (int ch = 0; ch < 3; ++ch)
        if (!write_monitor(QELT_HERE, bus, map::monitor::warning(ch), warning[ch]))
            return 1;
    for (int ch = 0; ch < 3; ++ch)
        if (!write_monitor(QELT_HERE, bus, map::monitor::critical(ch), critical[ch]))
            return 1;
    return 0;
}

} // extern "C"
