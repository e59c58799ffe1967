// Slice detection through the expanders and the boot pass that brings
// newly fitted slices into a known state.
#include "board_lock.h"
#include "board_map.h"
#include "convert.h"
#include "i2c_session.h"
#include "log.h"
#include "slice_check.h"

namespace {

using namespace qelt;

constexpr std::uint8_t eeprom_chunk_after_boot = 64;
constexpr float power_detect_placeholder = 10.25f;
constexpr std::uint8_t power_detect_channels = 4;

// Port-0 outputs drive low; port-1 pins 0..5 drive the rail enables, pins
// 6 (fitted) and 7 (alert) are inputs.
struct port_setting {
    std::uint8_t reg;
    std::uint8_t value;
};
constexpr port_setting detection_settings[] = {{map::expander::output0, 0x00},
                                               {map::expander::config1, 0xC0}};

// Detects one slice and leaves its expander's ports as the rail switches and
// the alert poll expect them. False on a bus failure, with `present` left
// as it was.
bool qelt_slice_present(qelt_slice *table, std::uint8_t slice)
{
    i2c_session bus(map::board_bus);
    if (!open_slice_device(QELT_HERE, bus, slice, map::expander_addr))
        return false;
    for (const port_setting &w : detection_settings) {
        if (!bus.send({w.reg, w.value})) {
            report_register_failure(QELT_HERE, xfer::write_failed, map::expander_addr, w.reg,
                                    device_label::psu);
            return false;
        }
    }
    // Port 0 is read only to complete the expander's input cycle; its value
    // means nothing here.
    for (const std::uint8_t reg : {map::expander::input0, map::expander::input1}) {
        const xfer result = bus.read_register({reg}, 1);
        if (result != xfer::ok) {
            report_register_failure(QELT_HERE, result, map::expander_addr, reg, device_label::psu);
            return false;
        }
    }
    const std::uint8_t port1 = bus.received()[0];
    log_info(QELT_HERE, "Readback from TCA9535 CMD IN PORT1 = 0x%x\\n", port1);
    table[slice].present = (port1 & (1u << map::expander::present_bit)) == 0 ? 1 : 0;
    return true;
}

// First set-up of a fitted slice. The attenuators keep their codes until
// the next DSA write; only the record is set to full attenuation.
void set_up_new_slice(qelt_slice *table, std::uint8_t slice)
{
    qelt_slice &s = table[slice];
    for (int channel = 0; channel < 4; ++channel) {
        for (int stage = 0; stage < 2; ++stage) {
            s.dsa_value[channel][stage] = convert::dsa_max_db;
            s.dsa_step[channel][stage] = 0.25f;
        }
    }
    // A failing step has reported itself; the slice counts as set up so
    // that later passes leave the operator's settings alone.
    (void)qelt_v3p3_enable(table, slice, 1);
    (void)qelt_v5p0_enable(table, slice, 0);
    (void)qelt_vdd_enable(table, slice, 0, 0);
    (void)qelt_board_temperature(table, slice);
    (void)qelt_cfg_slice_psu(table, slice);
    s.initialised = 1;
}

// An empty position: the rail switches write 0x00 for it whatever the
// stored states say.
void switch_off_absent_slice(qelt_slice *table, std::uint8_t slice)
{
    table[slice].initialised = 0;
    (void)qelt_v3p3_enable(table, slice, 0);
    (void)qelt_v5p0_enable(table, slice, 0);
    (void)qelt_vdd_enable(table, slice, 0, 0);
}

} // namespace

extern "C" {

int qelt_init_boot(qelt_slice *table)
{
    const board_lock lock;
    for (std::uint8_t slice = 0; slice < map::slice_count; ++slice) {
        // A failed detection keeps the previous answer and goes on with it.
        if (!qelt_slice_present(table, slice))
            log_error(QELT_HERE, "Slice Detection Failure for slice %d", slice);
        else
            log_info(QELT_HERE, "Slice %d :  %s", slice,
                     table[slice].present == 1 ? "Detected" : "Not Detected");

        qelt_slice &s = table[slice];
        if (s.present == 1) {
            if (s.initialised == 0)
                set_up_new_slice(table, slice);
        } else {
            switch_off_absent_slice(table, slice);
        }
        s.eeprom_len = 0;
        s.eeprom_page_size = eeprom_chunk_after_boot;
    }
    return 0;
}

int qelt_power_detect(qelt_slice *table, uint8_t slice, uint8_t channel)
{
    const board_lock lock;
    if (!slice_index_ok(QELT_HERE, slice))
        return 1;
    if (channel >= power_detect_channels) {
        log_error(QELT_HERE, "Power Detect Channel %d is out of range(0..%d)!", channel,
                  power_detect_channels - 1);
        return 1;
    }
    // No detector is read yet: the entry gets a fixed value.
    table[slice].power_detect[channel] = power_detect_placeholder;
    return 0;
}

} // extern "C"
