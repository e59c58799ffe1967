// Commands that read the slices' sensors and set their alert limits.
#include "command_args.h"
#include "command_handlers.h"
#include "server_state.h"

#include <cstdio>

namespace {

// Whether the slice's stored reading is one to answer with: while
// monitoring runs, the routines' last pass keeps it current and the
// hardware is left alone; otherwise it is read now.
bool reading_current(int (*read)(qelt_slice *, std::uint8_t), std::uint8_t slice)
{
    return monitor_enabled != 0 || read(slice_table, slice) == 0;
}

int set_levels(const request_context &rq, float (&levels)[27])
{
    command_args args(rq.request);
    std::uint8_t slice = 0;
    float level[3];
    if (!args.whole(slice, slice_range) || !args.real(level[0]) || !args.real(level[1]) || !args.real(level[2]))
        return reply_failure(rq);
    for (int rail = 0; rail < 3; ++rail)
        levels[rail * QELT_SLICE_COUNT + slice] = level[rail];
    if (qelt_cfg_slice_psu(slice_table, slice) != 0)
        return reply_failure(rq);
    return reply_text(rq, "cmd_status %d", status_ok);
}

} // namespace

int cmd_board_temperature(const request_context &rq)
{
    std::uint8_t slice = 0;
    if (!command_args(rq.request).whole(slice, slice_range) || !reading_current(qelt_board_temperature, slice))
        return reply_failure(rq);
    return reply_text(rq, "cmd_status %d temp %0.2f", status_ok, slice_table[slice].temperature);
}

int cmd_read_psu(const request_context &rq)
{
    std::uint8_t slice = 0;
    if (!command_args(rq.request).whole(slice, slice_range) || !reading_current(qelt_read_psu, slice))
        return reply_failure(rq);
    return reply_readings(rq, slice_table[slice].psu);
}

int cmd_power_detect(const request_context &rq)
{
    command_args args(rq.request);
    std::uint8_t slice = 0, channel = 0;
    if (!args.whole(slice, slice_range) || !args.whole(channel, detect_channel_range) ||
        qelt_power_detect(slice_table, slice, channel) != 0)
        return reply_failure(rq);
    return reply_text(rq, "cmd_status %d power %0.2f", status_ok, slice_table[slice].power_detect[channel]);
}

int cmd_psu_wa_levels(const request_context &rq) { return set_levels(rq, ina3221_wa_levels); }

int cmd_psu_ca_levels(const request_context &rq) { return set_levels(rq, ina3221_ca_levels); }
