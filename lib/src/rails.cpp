// Slice power rails: the three rail enables and the VDD code on each
// slice's TCA9535 expander, and the board-wide VDCDC regulator that feeds
// every VDD rail.
#include "board_lock.h"
#include "board_map.h"
#include "convert.h"
#include "i2c_session.h"
#include "log.h"
#include "slice_check.h"

#include <cmath>

namespace {

using namespace qelt;

enum class rail : std::uint8_t { vdd, v5p0, v3p3 };

// What a switch writes besides the rail enables.
struct vdd_code_write {
    bool wanted;
    std::uint8_t value; // already complemented, as the configuration port takes it
};
constexpr vdd_code_write no_code{false, 0};

std::uint8_t &state_of(qelt_slice &s, rail r)
{
    switch (r) {
    case rail::vdd:
        return s.vdd_on;
    case rail::v5p0:
        return s.v5p0_on;
    default:
        return s.v3p3_on;
    }
}

// Output port 1 with one rail changed. The whole port is rewritten from
// the record, so the other two rails keep the levels the record says they
// have; an absent slot gets every rail off.
std::uint8_t compose_rails(const qelt_slice &s, rail r, bool on)
{
    if (s.present != 1)
        return 0x00;
    const bool vdd = r == rail::vdd ? on : s.vdd_on != 0;
    const bool v5p0 = r == rail::v5p0 ? on : s.v5p0_on != 0;
    const bool v3p3 = r == rail::v3p3 ? on : s.v3p3_on != 0;
    return convert::rail_register(vdd, v5p0, v3p3);
}

void report_switch(site where, rail r, bool on, std::uint8_t value)
{
    const std::uint8_t reg = map::expander::output1;
    switch (r) {
    case rail::vdd:
        log_info(where, "VDD onoff = %d on TCA9535 addr 0x%x val 0x%x", on, reg, value);
        break;
    case rail::v5p0:
        log_info(where, "V5.0 onoff = %d on TCA9535 addr 0x%x val 0x%x", on, reg, value);
        break;
    case rail::v3p3:
        log_info(where, "V3.0 onoff = %d on TCA9535 addr 0x%x val 0x%x", on, reg, value);
        break;
    }
}

bool write_expander(site where, i2c_session &bus, std::uint8_t reg, std::uint8_t value)
{
    if (bus.send({reg, value}))
        return true;
    report_register_failure(where, xfer::write_failed, map::expander_addr, reg, device_label::psu);
    return false;
}

// Switches one rail and, for VDD, optionally rewrites the code. The record
// changes only once every write went through, so it never claims a level
// the expander was not given.
int switch_rail(site where, qelt_slice *table, std::uint8_t slice, rail r, std::uint8_t onoff,
                vdd_code_write code)
{
    if (!slice_index_ok(where, slice))
        return 1;
    i2c_session bus(map::board_bus);
    if (!open_slice_device(where, bus, slice, map::expander_addr))
        return 1;
    qelt_slice &s = table[slice];
    const bool on = (onoff & 1u) != 0;
    const std::uint8_t value = compose_rails(s, r, on);
    if (s.present == 1)
        report_switch(where, r, on, value);
    if (!write_expander(where, bus, map::expander::output1, value))
        return 1;
    if (code.wanted && !write_expander(where, bus, map::expander::config0, code.value))
        return 1;
    state_of(s, r) = on ? 1 : 0;
    return 0;
}

// qelt_vdd_set goes through the same steps as qelt_vdd_enable, and its
// reports name that step.
site vdd_enable_step(int line) { return {"qelt_vdd_enable", line}; }

bool write_vdcdc(site where, i2c_session &bus, std::uint8_t reg, std::uint8_t value)
{
    if (bus.send({reg, value}))
        return true;
    log_error(where, "Unable to write I2C VDCDC (0x%02x), Reg(0x%02x)", map::vdcdc_addr, reg);
    return false;
}

// The other slices whose VDD rail is on bound the set point from both
// sides: every VDD rail that is on stays within 3 V of every other.
struct vdd_window {
    bool others_on = false;
    float highest = convert::vdd_min;
    float lowest = convert::vdd_max;
};

vdd_window window_without(const qelt_slice *table, std::uint8_t slice)
{
    vdd_window w;
    for (std::uint8_t i = 0; i < map::slice_count; ++i) {
        if (i == slice || table[i].vdd_on != 1)
            continue;
        w.others_on = true;
        if (table[i].vdd_voltage > w.highest)
            w.highest = table[i].vdd_voltage;
        if (table[i].vdd_voltage < w.lowest)
            w.lowest = table[i].vdd_voltage;
    }
    return w;
}

} // namespace

extern "C" {

int qelt_v3p3_enable(qelt_slice *table, uint8_t slice, uint8_t onoff)
{
    const board_lock lock;
    return switch_rail(QELT_HERE, table, slice, rail::v3p3, onoff, no_code);
}

int qelt_v5p0_enable(qelt_slice *table, uint8_t slice, uint8_t onoff)
{
    const board_lock lock;
    return switch_rail(QELT_HERE, table, slice, rail::v5p0, onoff, no_code);
}

// A code of 0 leaves the configuration port alone: the callers that only
// switch the rail pass 0.
int qelt_vdd_enable(qelt_slice *table, uint8_t slice, uint8_t onoff, uint8_t code)
{
    const board_lock lock;
    return switch_rail(QELT_HERE, table, slice, rail::vdd, onoff, {code != 0, code});
}

int qelt_setup_vdcdc(float voltage)
{
    const board_lock lock;
    if (std::isnan(voltage)) {
        log_error(QELT_HERE, "Invalid VDCDC set point %0.2f", voltage);
        return 1;
    }
    const convert::vdcdc_setting setting = convert::vdcdc_code(voltage);
    // The line shows the code as computed, so that a set point beyond the
    // regulator's range is visible although only 16 bits reach it.
    log_info(QELT_HERE, "VDCDC Value = %0.2f, RegVal = 0x%4X", setting.output, setting.code);

    i2c_session bus(map::board_bus);
    if (!bus.mux(map::mux::vdcdc)) {
        log_error(QELT_HERE, "Unable to open MUX I2C for mux select %d", map::mux::vdcdc);
        return 1;
    }
    if (!bus.select(map::vdcdc_addr)) {
        log_error(QELT_HERE, "Unable to setup I2C device for slice %d", map::vdcdc_addr);
        return 1;
    }
    // The regulator's programming sequence, in the order it takes it.
    const struct {
        std::uint8_t reg;
        std::uint8_t value;
    } sequence[] = {
        {0x06, 0x32},
        {0x00, static_cast<std::uint8_t>(setting.reference() & 0xFF)},
        {0x01, static_cast<std::uint8_t>(setting.reference() >> 8)},
        {0x06, 0xB2},
        {0x02, 0xFC},
        {0x05, 0xE1},
    };
    for (const auto &step : sequence)
        if (!write_vdcdc(QELT_HERE, bus, step.reg, step.value))
            return 1;
    return 0;
}

int qelt_vdd_set(qelt_slice *table, uint8_t slice)
{
    const board_lock lock;
    if (!slice_index_ok(QELT_HERE, slice))
        return 1;
    if (!slice_fitted(QELT_HERE, table, slice))
        return 1;
    const float request = table[slice].vdd_voltage;
    if (std::isnan(request)) {
        log_error(QELT_HERE, "Invalid VDD value %0.2f for slice %d", request, slice);
        return 1;
    }

    vdd_window w = window_without(table, slice);
    const float v = convert::clamp_vdd(request);
    const double vd = v;
    bool reprogram = true;
    if (w.others_on) {
        if (vd < w.highest - convert::vdd_window || w.lowest + convert::vdd_window < vd) {
            log_error(QELT_HERE,
                      "Unable to Set VDD value of %0.2f to slice %d ! VddMax = %0.2f, VddMin = %0.2f\\n", vd,
                      slice, w.highest, w.lowest);
            return 300;
        }
        // The regulator only moves up, and only for a new highest rail.
        reprogram = vd < w.lowest + convert::vdd_window && w.highest < vd;
        if (reprogram)
            w.highest = v;
    } else {
        w.highest = v;
        w.lowest = v;
    }

    if (reprogram) {
        if (qelt_setup_vdcdc(v) != 0) {
            log_error(QELT_HERE, "Unable to Setup VDCDC Voltage = %0.2f", vd);
            return 301;
        }
        // One regulator serves every slice; its record lives in slice 8's,
        // and changes only once the regulator has taken the new code.
        table[map::max_slice].vdcdc_voltage = static_cast<float>(vd + 0.4);
    }

    if (switch_rail(vdd_enable_step(__LINE__), table, slice, rail::vdd, 0, no_code) != 0) {
        log_error(QELT_HERE, "VDD Disable Failure!");
        return 302;
    }
    const std::uint8_t code = convert::vdd_code(v);
    const auto written = static_cast<std::uint8_t>(code ^ 0xFF);
    // At 20.5 V the complemented code is 0, which qelt_vdd_enable takes as
    // "leave the code alone": the code register is written explicitly here
    // so that the rail does not stay at the previous voltage.
    if (switch_rail(vdd_enable_step(__LINE__), table, slice, rail::vdd, 1, {true, written}) != 0) {
        log_error(QELT_HERE, "VDD Enable Failure!");
        return 303;
    }
    log_info(QELT_HERE, "Slice %d : VDD Set = %0.2f V, Hex = 0x%x", slice, vd, written);
    log_info(QELT_HERE, "VddMax = %0.2f, VddMin = %0.2f", w.highest, w.lowest);
    table[slice].vdd_voltage = v;
    return 0;
}

} // extern "C"
