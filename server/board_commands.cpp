// Commands on the base board, the SOM and the server itself.
#include "command_args.h"
#include "command_handlers.h"
#include "server_state.h"
#include "shell_command.h"

#include <slice_cfg.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char *shell_output_path = "sysout.txt";
constexpr std::size_t shell_text_room = 100; // terminator included
constexpr long shell_output_limit = 10000;

// The shell text: everything after the blanks behind the command word, up
// to a line end. Empty, or too long for its room: nullptr.
const char *shell_text(const char *request, std::size_t &length)
{
    const char *text = command_args(request).rest();
    length = std::strcspn(text, "\n");
    if (length == 0 || length >= shell_text_room)
        return nullptr;
    return text;
}

// Reads at most `room` bytes of the shell output; -1 when it is missing.
long read_shell_output(std::uint8_t *into, long room)
{
    std::FILE *file = std::fopen(shell_output_path, "rb");
    if (file == nullptr)
        return -1;
    long size = 0;
    if (std::fseek(file, 0, SEEK_END) == 0)
        size = std::ftell(file);
    std::rewind(file);
    const std::size_t got =
        std::fread(into, 1, static_cast<std::size_t>(size < 0 ? 0 : std::min(size, room)), file);
    std::fclose(file);
    return static_cast<long>(got);
}

// Bit i is bit 0 of the flag in slice i's record.
unsigned slice_mask(std::uint8_t qelt_slice::*flag)
{
    unsigned mask = 0;
    for (unsigned i = 0; i < QELT_SLICE_COUNT; ++i)
        mask |= static_cast<unsigned>(slice_table[i].*flag & 1) << i;
    return mask;
}

std::uint32_t little_endian_24(const std::uint8_t (&b)[3])
{
    return b[0] | static_cast<std::uint32_t>(b[1]) << 8 | static_cast<std::uint32_t>(b[2]) << 16;
}

long long big_endian_48(const std::uint8_t (&b)[6])
{
    long long value = 0;
    for (std::uint8_t byte : b)
        value = value << 8 | byte;
    return value;
}

} // namespace

int cmd_sw_version(const request_context &rq)
{
    if (qelt_read_sw_version(sw_version) != 0)
        return reply_failure(rq);
    return reply_text(rq, "cmd_status %d version %hhu.%hhu", status_ok, sw_version[1], sw_version[0]);
}

int cmd_init_boot(const request_context &rq)
{
    std::uint8_t fresh = 0;
    if (!command_args(rq.request).whole(fresh, byte_range))
        return reply_failure(rq);
    {
        // Deleted under the update lock, so that another program's update
        // in progress is not saved over the deletion.
        slice_cfg::update_lock hold;
        if (fresh == 1) {
            if (slice_cfg::exists())
                std::remove(slice_cfg_path);
            for (qelt_slice &slice : slice_table)
                slice.initialised = 0;
        } else {
            load_slice_cfg();
        }
    }
    if (qelt_init_boot(slice_table) != 0)
        return reply_failure(rq);
    return reply_text(rq, "cmd_status %d slicepresence %u", status_ok, slice_mask(&qelt_slice::present));
}

int cmd_fbswitch_config(const request_context &rq)
{
    command_args args(rq.request);
    std::uint8_t control = 0, adc8 = 0, adc9 = 0;
    if (!args.whole(control, byte_range) || !args.whole(adc8, byte_range) || !args.whole(adc9, byte_range) ||
        qelt_fb_switch(slice_table, control, adc8, adc9) != 0)
        return reply_failure(rq);
    return reply_text(rq, "cmd_status %d", status_ok);
}

int cmd_interrupt_polling(const request_context &rq)
{
    if (qelt_detect_intr(slice_table) != 0)
        return reply_failure(rq);
    return reply_text(rq, "cmd_status %d interrupt %u", status_ok, slice_mask(&qelt_slice::psu_alert));
}

int cmd_interrupt_task_start(const request_context &rq)
{
    monitor_enabled = 1;
    return reply_text(rq, "cmd_status %d", status_ok);
}

int cmd_interrupt_task_stop(const request_context &rq)
{
    monitor_enabled = 0;
    return reply_text(rq, "cmd_status %d", status_ok);
}

int cmd_log_level_set(const request_context &rq)
{
    if (!command_args(rq.request).whole(qelt_log_level, byte_range))
        return reply_failure(rq);
    return reply_text(rq, "cmd_status %d", status_ok);
}

int cmd_framesync_delay(const request_context &rq)
{
    std::uint32_t delay = 0;
    if (!command_args(rq.request).whole(delay, u32_range) || qelt_framesync_delay(delay) != 0)
        return reply_failure(rq);
    return reply_text(rq, "cmd_status %d", status_ok);
}

int cmd_framesync_count(const request_context &rq)
{
    return reply_text(rq, "cmd_status %d count %u", status_ok, qelt_framecount_readback());
}

int cmd_read_som_cfg(const request_context &rq)
{
    if (qelt_som_config_read(&som_record) != 0)
        return reply_failure(rq);
    const qelt_som &som = som_record;
    // The text fields carry no terminator: each is bounded by its size.
    return reply_text(rq,
                      "cmd_status %d somcfg {\"revision\":\"%.*s\",\"serial\":\"%.*s\",\"sku\":\"%.*s\","
                      "\"date\":\"%d\",\"macid\":\"%lld\"}",
                      status_ok, static_cast<int>(sizeof som.revision), som.revision,
                      static_cast<int>(sizeof som.serial), som.serial, static_cast<int>(sizeof som.sku),
                      som.sku, static_cast<int>(little_endian_24(som.date)), big_endian_48(som.macid));
}

int cmd_read_som_psu(const request_context &rq)
{
    if (qelt_read_som_psu(&som_record) != 0)
        return reply_failure(rq);
    return reply_readings(rq, som_record.psu);
}

int cmd_system_call(const request_context &rq)
{
    std::size_t length = 0;
    const char *text = shell_text(rq.request, length);
    if (text == nullptr)
        return reply_failure(rq);
    // The text goes to the shell as it is: a redirection pasted after it
    // would be swallowed by a comment or a trailing "&&" in the text.
    char command[shell_text_room];
    std::snprintf(command, sizeof command, "%.*s", static_cast<int>(length), text);
    // Its exit status says nothing about the output, which is the reply.
    if (run_shell_command(command, shell_output_path) != 0)
        return reply_failure(rq);
    const long got = read_shell_output(command_work_buffer, shell_output_limit);
    if (got < 0)
        return reply_failure(rq);
    return reply_bytes(rq, "resp", command_work_buffer, static_cast<std::size_t>(got));
}
