// Commands that read the slices' sensors and set their alert limits.
#include "command_args.h"
#include "command_call.h"
#include "monitoring.h"
#include "server_state.h"

#include <cstdio>

namespace {

// While monitoring runs, the readings come from the routines' last pass
// instead of the hardware.
bool fresh_reading(int (*read)(qelt_slice *, std::uint8_t), std::uint8_t slice)
{
    return monitor_enabled != 0 || read(slice_table, slice) == 0;
}

int set_levels(const command_call &call, float (&levels)[27])
{
    command_args args(call.request);
    std::uint8_t slice = 0;
    float level[3];
    if (!args.whole(slice, slice_range) || !args.real(level[0]) || !args.real(level[1]) || !args.real(level[2]))
        return reply_failure(call);
    for (int rail = 0; rail < 3; ++rail)
        levels[rail * QELT_SLICE_COUNT + slice] = level[rail];
    if (qelt_cfg_slice_psu(slice_table, slice) != 0)
        return reply_failure(call);
    return reply_text(call, "cmd_status %d", status_ok);
}

} // namespace

int cmd_board_temperature(const command_call &call)
{
    std::uint8_t slice = 0;
    if (!command_args(call.request).whole(slice, slice_range) || !fresh_reading(qelt_board_temperature, slice))
        return reply_failure(call);
    return reply_text(call, "cmd_status %d temp %0.2f", status_ok, slice_table[slice].temperature);
}

int cmd_read_psu(const command_call &call)
{
    std::uint8_t slice = 0;
    if (!command_args(call.request).whole(slice, slice_range) || !fresh_reading(qelt_read_psu, slice))
        return reply_failure(call);
    return reply_readings(call, slice_table[slice].psu);
}

int cmd_power_detect(const command_call &call)
{
    command_args args(call.request);
    std::uint8_t slice = 0, channel = 0;
    if (!args.whole(slice, slice_range) || !args.whole(channel, detect_channel_range) ||
        qelt_power_detect(slice_table, slice, channel) != 0)
        return reply_failure(call);
    return reply_text(call, "cmd_status %d power %0.2f", status_ok, slice_table[slice].power_detect[channel]);
}

int cmd_psu_wa_levels(const command_call &call) { return set_levels(call, ina3221_wa_levels); }

int cmd_psu_ca_levels(const command_call &call) { return set_levels(call, ina3221_ca_levels); }
