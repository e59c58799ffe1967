// Commands on a slice's attenuators and power rails: the settings that the
// library cannot read back and that the slice configuration file keeps.
#include "command_args.h"
#include "command_handlers.h"
#include "server_state.h"

#include <slice_cfg.h>

#include <cstdio>

namespace {

// A rail switch: the library call and the record field that holds its state.
struct rail {
    int (*enable)(qelt_slice *table, std::uint8_t slice, std::uint8_t on);
    std::uint8_t qelt_slice::*on;
};

int vdd_enable(qelt_slice *table, std::uint8_t slice, std::uint8_t on)
{
    return qelt_vdd_enable(table, slice, on, 0);
}

// Loads the file, switches the rail and saves the file, all under the
// update lock so that a change the other program makes meanwhile is kept.
// A non-zero readback only reports the stored state.
int switch_rail(const request_context &rq, const rail &r)
{
    command_args args(rq.request);
    std::uint8_t slice = 0, on = 0, readback = 0;
    if (!args.whole(slice, slice_range) || !args.whole(on, byte_range) || !args.whole(readback, byte_range))
        return reply_failure(rq);
    slice_cfg::update_lock hold;
    load_slice_cfg();
    if (readback == 0) {
        if (r.enable(slice_table, slice, on) != 0)
            return reply_failure(rq);
        slice_cfg::create_file(slice_table);
    }
    return reply_text(rq, "cmd_status %d enable %d", status_ok, slice_table[slice].*r.on);
}

} // namespace

void load_slice_cfg()
{
    if (slice_cfg::exists())
        slice_cfg::sync_file(slice_table);
}

int cmd_dsa_write(const request_context &rq)
{
    command_args args(rq.request);
    std::uint8_t slice = 0, channel = 0, stage = 0;
    float value = 0, step = 0;
    if (!args.whole(slice, slice_range) || !args.whole(channel, dsa_channel_range) ||
        !args.whole(stage, dsa_stage_range) || !args.real(value) || !args.real(step))
        return reply_failure(rq);
    // Loaded first as well: saving the server's table without it would
    // drop a setting the board control tool made since the last load.
    slice_cfg::update_lock hold;
    load_slice_cfg();
    qelt_slice &s = slice_table[slice];
    s.dsa_value[channel][stage] = value;
    s.dsa_step[channel][stage] = step;
    if (qelt_dsa_write(slice_table, slice, channel, stage) != 0)
        return reply_failure(rq);
    slice_cfg::create_file(slice_table);
    return reply_text(rq, "cmd_status %d", status_ok);
}

int cmd_dsa_read(const request_context &rq)
{
    command_args args(rq.request);
    std::uint8_t slice = 0, channel = 0, stage = 0;
    if (!args.whole(slice, slice_range) || !args.whole(channel, dsa_channel_range) ||
        !args.whole(stage, dsa_stage_range))
        return reply_failure(rq);
    load_slice_cfg();
    return reply_text(rq, "cmd_status %d dsa %0.2f dsastep %0.2f", status_ok,
                      slice_table[slice].dsa_value[channel][stage],
                      slice_table[slice].dsa_step[channel][stage]);
}

int cmd_vdd_set(const request_context &rq)
{
    command_args args(rq.request);
    std::uint8_t slice = 0;
    float volts = 0;
    if (!args.whole(slice, slice_range) || !args.real(volts))
        return reply_failure(rq);
    slice_cfg::update_lock hold;
    load_slice_cfg();
    slice_table[slice].vdd_voltage = volts;
    const int result = qelt_vdd_set(slice_table, slice);
    if (result != 0) {
        // The library's code tells the client why (for example 300).
        reply_text(rq, "cmd_status %d", result);
        return -1;
    }
    slice_cfg::create_file(slice_table);
    return reply_text(rq, "cmd_status %d", status_ok);
}

int cmd_vdd_enable(const request_context &rq) { return switch_rail(rq, {vdd_enable, &qelt_slice::vdd_on}); }

int cmd_v3p3_enable(const request_context &rq)
{
    return switch_rail(rq, {qelt_v3p3_enable, &qelt_slice::v3p3_on});
}

int cmd_v5p0_enable(const request_context &rq)
{
    return switch_rail(rq, {qelt_v5p0_enable, &qelt_slice::v5p0_on});
}

int cmd_vdcdc_readback(const request_context &rq)
{
    return reply_text(rq, "cmd_status %d vdcdc %0.2f", status_ok,
                      slice_table[QELT_SLICE_COUNT - 1].vdcdc_voltage);
}
