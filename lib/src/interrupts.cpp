// Rail-monitor alerts: the board-wide status bit, the per-slice alert pins
// on the expanders, and the monitors' warning flags behind them.
#include "board_lock.h"
#include "board_map.h"
#include "gpio_block.h"
#include "i2c_session.h"
#include "log.h"
#include "slice_check.h"

namespace {

using namespace qelt;

struct alert_channel {
    std::uint16_t flag; // warning flag in the mask/enable register
    const char *label;  // the 3.3 V rail is called 3.0V in alerts
    int psu_index;      // current in the slice record's readings
    float divisor;      // limit register code per ampere
};

// Reported in this order.
constexpr alert_channel alert_channels[3] = {
    {1u << 5, "VDD", 0, 10000.0f},
    {1u << 4, "3.0V", 2, 10000.0f},
    {1u << 3, "5.0V", 4, 5000.0f},
};

// The raw warning limit of one monitor channel (0..2), or 1 when it cannot
// be read: the alert is then still reported, with a limit of 0.00 A.
std::uint16_t qelt_psu_wa_readback(const qelt_slice *table, std::uint8_t slice, int channel)
{
    if (!slice_fitted(QELT_HERE, table, slice))
        return 1;
    i2c_session bus(map::board_bus);
    if (!open_slice_device(QELT_HERE, bus, slice, map::monitor_addr))
        return 1;
    const std::uint8_t reg = map::monitor::warning(channel);
    const xfer result = bus.read_register({reg}, 2);
    if (result != xfer::ok) {
        report_register_failure(QELT_HERE, result, map::monitor_addr, reg);
        return 1;
    }
    return bus.received_u16();
}

} // namespace

extern "C" {

int qelt_detect_intr(qelt_slice *table)
{
    const board_lock lock;
    std::uint32_t status = 0;
    {
        gpio_block block(map::control::base);
        // An unmapped block tells nothing either way: the detection could
        // not be made.
        if (!block.ok())
            return 1;
        log_info(QELT_HERE, "Interrupt Polling from AXI GPIO Addr %x, Offset %x", map::control::base,
                 map::control::irq_status);
        status = block.read(map::control::irq_status);
    }
    if ((status & 1u) == 0)
        return 0;
    return qelt_psu_intr_detect(table) != 0 ? 1 : 0;
}

int qelt_psu_intr_detect(qelt_slice *table)
{
    const board_lock lock;
    i2c_session bus(map::board_bus);
    for (std::uint8_t slice = 0; slice < map::slice_count; ++slice) {
        if (table[slice].present != 1)
            continue;
        if (!open_slice_device(QELT_HERE, bus, slice, map::expander_addr))
            return 1;
        const xfer result = bus.read_register({map::expander::input1}, 1);
        if (result == xfer::write_failed) {
            log_error(QELT_HERE, "Unable to write I2C PSU (0x%02x), Reg(0x%02x)", map::expander_addr,
                      map::expander::input1);
            return 1;
        }
        if (result == xfer::read_failed) {
            report_register_failure(QELT_HERE, result, map::expander_addr, map::expander::input1,
                                    device_label::psu);
            return 1;
        }
        // The monitor's warning output pulls the pin low.
        const bool alert = (bus.received()[0] & (1u << map::expander::alert_bit)) == 0;
        table[slice].psu_alert = alert ? 1 : 0;
        log_info(QELT_HERE, "PSU Interrupt Value for Slice %d = %d", slice, table[slice].psu_alert);
    }
    return 0;
}

int qelt_intr_parse(qelt_slice *table)
{
    const board_lock lock;
    for (std::uint8_t slice = 0; slice < map::slice_count; ++slice) {
        if (table[slice].present != 1 || table[slice].psu_alert != 1)
            continue;
        std::uint16_t flags = 0;
        {
            i2c_session bus(map::board_bus);
            if (!open_slice_device(QELT_HERE, bus, slice, map::monitor_addr))
                return 1;
            const xfer result = bus.read_register({map::monitor::mask_enable}, 2);
            if (result != xfer::ok) {
                report_register_failure(QELT_HERE, result, map::monitor_addr, map::monitor::mask_enable);
                return 1;
            }
            flags = bus.received_u16();
            log_info(QELT_HERE, "Mask Register of slice %d = %x", slice, flags);
        }
        for (int channel = 0; channel < 3; ++channel) {
            const alert_channel &ch = alert_channels[channel];
            if ((flags & ch.flag) == 0)
                continue;
            // Only the refreshed current is wanted; a failed reading keeps
            // the previous one and has been reported.
            (void)qelt_read_psu(table, slice);
            const std::uint16_t limit = qelt_psu_wa_readback(table, slice, channel);
            log_alert("PSU Alert : slice %d : %s current %0.2f A is above threshold %0.2f A", slice, ch.label,
                      static_cast<double>(table[slice].psu[ch.psu_index]),
                      static_cast<double>(static_cast<float>(limit) / ch.divisor));
        }
    }
    return 0;
}

} // extern "C"
