#include "interpreter.h"

#include "command_call.h"
#include "monitoring.h"
#include "server_state.h"

#include <slice_cfg.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

std::uint8_t command_work_buffer[32768];

namespace {

struct command_entry {
    const char *name;
    int id;
    command_handler handler;
    // Whether it works on the slice table or the library's data objects,
    // which the monitoring workers share: it then runs under the table
    // mutex. The shell command does not, and may run for a long time.
    bool uses_board_state = true;
};

// Searched in this order; the ids are internal and never on the wire.
constexpr command_entry command_table[] = {
    {"qelt_sw_version", 0, cmd_sw_version},
    {"qelt_init_boot", 1, cmd_init_boot},
    {"qelt_dsa_write", 2, cmd_dsa_write},
    {"qelt_dsa_read", 24, cmd_dsa_read},
    {"qelt_board_temperature", 3, cmd_board_temperature},
    {"qelt_read_psu", 4, cmd_read_psu},
    {"qelt_power_detect", 5, cmd_power_detect},
    {"qelt_vdd_set", 6, cmd_vdd_set},
    {"qelt_vdd_enable", 7, cmd_vdd_enable},
    {"qelt_vdcdc_readback", 8, cmd_vdcdc_readback},
    {"qelt_v3p3_enable", 9, cmd_v3p3_enable},
    {"qelt_v5p0_enable", 10, cmd_v5p0_enable},
    {"qelt_eeprom_clear", 11, cmd_eeprom_clear},
    {"qelt_eeprom_write", 12, cmd_eeprom_write},
    {"qelt_eeprom_read", 13, cmd_eeprom_read},
    {"qelt_bb_eeprom_write", 14, cmd_bb_eeprom_write},
    {"qelt_bb_eeprom_read", 15, cmd_bb_eeprom_read},
    {"qelt_fbswitch_config", 16, cmd_fbswitch_config},
    {"qelt_interrupt_polling", 17, cmd_interrupt_polling},
    {"qelt_interrupt_task_start", 18, cmd_interrupt_task_start},
    {"qelt_interrupt_task_stop", 19, cmd_interrupt_task_stop},
    {"qelt_psu_wa_levels", 20, cmd_psu_wa_levels},
    {"qelt_psu_ca_levels", 21, cmd_psu_ca_levels},
    {"qelt_log_level_set", 25, cmd_log_level_set},
    {"qelt_framesync_delay", 22, cmd_framesync_delay},
    {"qelt_framesync_count", 23, cmd_framesync_count},
    {"qelt_system_call", 26, cmd_system_call, false},
    {"qelt_read_som_cfg", 28, cmd_read_som_cfg},
    {"qelt_read_som_psu", 27, cmd_read_som_psu},
};

constexpr const char command_prefix[] = "qelt_";
constexpr std::size_t word_room = 32; // 31 characters and the terminator

// The first word: everything up to the first space (a tab or line end
// belongs to it). False when the request is empty or starts with a space.
// A word too long for its room is cut and marked, so it matches no command.
bool first_word(const char *request, char (&word)[word_room], bool &whole)
{
    int used = 0;
    if (std::sscanf(request, "%31[^ ]%n", word, &used) != 1)
        return false;
    whole = request[used] == ' ' || request[used] == '\0';
    return true;
}

const command_entry *find_entry(const char *word)
{
    for (const command_entry &entry : command_table)
        if (std::strcmp(entry.name, word) == 0)
            return &entry;
    return nullptr;
}

} // namespace

int interpret_command(const char *request, char *reply, std::size_t capacity)
{
    char word[word_room];
    bool whole = false;
    if (!first_word(request, word, whole))
        return -1;
    if (std::strncmp(word, command_prefix, sizeof command_prefix - 1) != 0)
        return -1;
    return execute_command(request, reply, capacity);
}

int execute_command(const char *request, char *reply, std::size_t capacity)
{
    char word[word_room];
    bool whole = false;
    if (!first_word(request, word, whole))
        return -1;
    std::printf("hwc: cmd = %s\n", request);
    const command_call call{request, reply, capacity};
    const command_entry *entry = whole ? find_entry(word) : nullptr;
    if (entry == nullptr)
        return reply_failure(call);
    if (!entry->uses_board_state)
        return entry->handler(call);
    std::lock_guard hold(slice_table_mutex);
    return entry->handler(call);
}

int reply_failure(const command_call &call)
{
    std::snprintf(call.reply, call.capacity, "cmd_status %d", status_failed);
    return -1;
}

int reply_text(const command_call &call, const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    const int n = std::vsnprintf(call.reply, call.capacity, fmt, args);
    va_end(args);
    if (n < 0 || static_cast<std::size_t>(n) >= call.capacity)
        return reply_failure(call);
    return 1;
}

int reply_bytes(const command_call &call, const char *word, const std::uint8_t *bytes, std::size_t n)
{
    const int head = std::snprintf(call.reply, call.capacity, "cmd_status %d %s ", status_ok, word);
    if (head < 0 || static_cast<std::size_t>(head) + n >= call.capacity)
        return reply_failure(call);
    std::memcpy(call.reply + head, bytes, n);
    call.reply[static_cast<std::size_t>(head) + n] = '\0';
    return 1;
}

int reply_readings(const command_call &call, const float (&psu)[6])
{
    return reply_text(call, "cmd_status %d psu %0.3f %0.3f %0.3f %0.3f %0.3f %0.3f", status_ok, psu[0],
                      psu[1], psu[2], psu[3], psu[4], psu[5]);
}

void load_slice_cfg()
{
    if (slice_cfg::exists())
        slice_cfg::sync_file(slice_table);
}
