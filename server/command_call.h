// What every command handler gets, and the replies they share.
#pragma once

#include <qelt/qelt.h>

#include <cstddef>
#include <cstdint>

struct command_call {
    const char *request; // the whole command text, command word first
    char *reply;
    std::size_t capacity; // of reply, terminator included
};

using command_handler = int (*)(const command_call &);

inline constexpr int status_ok = 2;
inline constexpr int status_failed = -1;

// "cmd_status -1"; returns -1.
int reply_failure(const command_call &call);

// Formats the whole reply; returns 1, or the failure reply when the text
// would not fit with its terminator.
int reply_text(const command_call &call, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// "cmd_status 2 <word> " followed by n raw bytes. A reply that would not
// fit is refused rather than cut, so a client never takes a partial image
// for the whole one.
int reply_bytes(const command_call &call, const char *word, const std::uint8_t *bytes, std::size_t n);

// "cmd_status 2 psu" and six rail readings.
int reply_readings(const command_call &call, const float (&psu)[6]);

// The base-board EEPROM payload and the shell output share it.
extern std::uint8_t command_work_buffer[32768];

// Loads the slice configuration file into the slice table when it exists.
void load_slice_cfg();

// The handlers, by group.
int cmd_sw_version(const command_call &call);
int cmd_init_boot(const command_call &call);
int cmd_fbswitch_config(const command_call &call);
int cmd_interrupt_polling(const command_call &call);
int cmd_interrupt_task_start(const command_call &call);
int cmd_interrupt_task_stop(const command_call &call);
int cmd_log_level_set(const command_call &call);
int cmd_framesync_delay(const command_call &call);
int cmd_framesync_count(const command_call &call);
int cmd_read_som_cfg(const command_call &call);
int cmd_read_som_psu(const command_call &call);
int cmd_system_call(const command_call &call);

int cmd_dsa_write(const command_call &call);
int cmd_dsa_read(const command_call &call);
int cmd_vdd_set(const command_call &call);
int cmd_vdd_enable(const command_call &call);
int cmd_v3p3_enable(const command_call &call);
int cmd_v5p0_enable(const command_call &call);
int cmd_vdcdc_readback(const command_call &call);

int cmd_board_temperature(const command_call &call);
int cmd_read_psu(const command_call &call);
int cmd_power_detect(const command_call &call);
int cmd_psu_wa_levels(const command_call &call);
int cmd_psu_ca_levels(const command_call &call);

int cmd_eeprom_clear(const command_call &call);
int cmd_eeprom_write(const command_call &call);
int cmd_eeprom_read(const command_call &call);
int cmd_bb_eeprom_write(const command_call &call);
int cmd_bb_eeprom_read(const command_call &call);
