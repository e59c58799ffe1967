#include "interpreter.h"

#include "command_handlers.h"
#include "server_state.h"

#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

struct command_entry {
    const char *name;
    command_handler handler;
    // Whether it works on the slice table or the library's data objects,
    // which the monitoring workers share: it then runs under the table
    // mutex. The shell command does not, and may run for a long time.
    bool uses_board_state = true;
};

// Searched in this order.
constexpr command_entry command_table[] = {
    {"qelt_sw_version", cmd_sw_version},
    {"qelt_init_boot", cmd_init_boot},
    {"qelt_dsa_write", cmd_dsa_write},
    {"qelt_dsa_read", cmd_dsa_read},
    {"qelt_board_temperature", cmd_board_temperature},
    {"qelt_read_psu", cmd_read_psu},
    {"qelt_power_detect", cmd_power_detect},
    {"qelt_vdd_set", cmd_vdd_set},
    {"qelt_vdd_enable", cmd_vdd_enable},
    {"qelt_vdcdc_readback", cmd_vdcdc_readback},
    {"qelt_v3p3_enable", cmd_v3p3_enable},
    {"qelt_v5p0_enable", cmd_v5p0_enable},
    {"qelt_eeprom_clear", cmd_eeprom_clear},
    {"qelt_eeprom_write", cmd_eeprom_write},
    {"qelt_eeprom_read", cmd_eeprom_read},
    {"qelt_bb_eeprom_write", cmd_bb_eeprom_write},
    {"qelt_bb_eeprom_read", cmd_bb_eeprom_read},
    {"qelt_fbswitch_config", cmd_fbswitch_config},
    {"qelt_interrupt_polling", cmd_interrupt_polling},
    {"qelt_interrupt_task_start", cmd_interrupt_task_start},
    {"qelt_interrupt_task_stop", cmd_interrupt_task_stop},
    {"qelt_psu_wa_levels", cmd_psu_wa_levels},
    {"qelt_psu_ca_levels", cmd_psu_ca_levels},
    {"qelt_log_level_set", cmd_log_level_set},
    {"qelt_framesync_delay", cmd_framesync_delay},
    {"qelt_framesync_count", cmd_framesync_count},
    {"qelt_system_call", cmd_system_call, false},
    {"qelt_read_som_cfg", cmd_read_som_cfg},
    {"qelt_read_som_psu", cmd_read_som_psu},
};

constexpr const char command_prefix[] = "qelt_";
constexpr std::size_t word_room = 32; // 31 characters and the terminator

bool blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// "echo WORD": the first word after "echo", or nullptr (len 0) when the
// request is not one.
const char *echoed_word(const char *request, int &len)
{
    static constexpr char echo[] = "echo";
    len = 0;
    if (std::strncmp(request, echo, sizeof echo - 1) != 0)
        return nullptr;
    const char *word = request + sizeof echo - 1;
    while (blank(*word))
        ++word;
    while (word[len] != '\0' && !blank(word[len]))
        ++len;
    return len > 0 ? word : nullptr;
}

const command_entry *find_entry(const char *word)
{
    for (const command_entry &entry : command_table)
        if (std::strcmp(entry.name, word) == 0)
            return &entry;
    return nullptr;
}

// The table's commands. The first word is everything up to the first
// space (a tab or line end belongs to it); a request that has none, or
// whose word lacks the prefix, leaves the reply as it was. A word too long
// for its room matches no command.
int interpret_command(const char *request, char *reply, std::size_t capacity)
{
    char word[word_room];
    int used = 0;
    if (std::sscanf(request, "%31[^ ]%n", word, &used) != 1 ||
        std::strncmp(word, command_prefix, sizeof command_prefix - 1) != 0)
        return -1;
    std::printf("hwc: cmd = %s\n", request);
    const request_context rq{request, reply, capacity};
    const bool whole = request[used] == ' ' || request[used] == '\0';
    const command_entry *entry = whole ? find_entry(word) : nullptr;
    if (entry == nullptr)
        return reply_failure(rq);
    if (!entry->uses_board_state)
        return entry->handler(rq);
    std::lock_guard hold(slice_table_mutex);
    return entry->handler(rq);
}

} // namespace

int process_command(const char *request, char *reply, std::size_t size)
{
    std::snprintf(reply, size, " ");
    const char *p = request;
    while (blank(*p))
        ++p;
    if (*p == '\0')
        return 0;
    int len = 0;
    if (const char *word = echoed_word(request, len)) {
        std::snprintf(reply, size, "echo: %.*s", len, word);
        return 1;
    }
    return interpret_command(request, reply, size);
}
