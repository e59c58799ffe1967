// The text commands, one handler each, and what the handlers share. The
// interpreter's table names them; each reads its arguments from the
// request, drives the library on the server's state and writes its reply.
#pragma once

#include "request.h"

#include <cstdint>

using command_handler = int (*)(const request_context &);

// The base-board EEPROM payload and the shell output share it.
extern std::uint8_t command_work_buffer[32768];

// Loads the slice configuration file into the slice table when it exists.
void load_slice_cfg();

// The base board, the SOM and the server itself (board_commands.cpp).
int cmd_sw_version(const request_context &rq);
int cmd_init_boot(const request_context &rq);
int cmd_fbswitch_config(const request_context &rq);
int cmd_interrupt_polling(const request_context &rq);
int cmd_interrupt_task_start(const request_context &rq);
int cmd_interrupt_task_stop(const request_context &rq);
int cmd_log_level_set(const request_context &rq);
int cmd_framesync_delay(const request_context &rq);
int cmd_framesync_count(const request_context &rq);
int cmd_read_som_cfg(const request_context &rq);
int cmd_read_som_psu(const request_context &rq);
int cmd_system_call(const request_context &rq);

// Attenuators and rails, kept in the slice configuration file
// (slice_commands.cpp).
int cmd_dsa_write(const request_context &rq);
int cmd_dsa_read(const request_context &rq);
int cmd_vdd_set(const request_context &rq);
int cmd_vdd_enable(const request_context &rq);
int cmd_v3p3_enable(const request_context &rq);
int cmd_v5p0_enable(const request_context &rq);
int cmd_vdcdc_readback(const request_context &rq);

// Sensor readings and alert limits (reading_commands.cpp).
int cmd_board_temperature(const request_context &rq);
int cmd_read_psu(const request_context &rq);
int cmd_power_detect(const request_context &rq);
int cmd_psu_wa_levels(const request_context &rq);
int cmd_psu_ca_levels(const request_context &rq);

// Slice and base-board EEPROMs (eeprom_commands.cpp).
int cmd_eeprom_clear(const request_context &rq);
int cmd_eeprom_write(const request_context &rq);
int cmd_eeprom_read(const request_context &rq);
int cmd_bb_eeprom_write(const request_context &rq);
int cmd_bb_eeprom_read(const request_context &rq);
