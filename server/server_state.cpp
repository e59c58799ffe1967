#include "server_state.h"

std::mutex slice_table_mutex;
qelt_slice slice_table[QELT_SLICE_COUNT] = {};
qelt_som som_record = {};
std::uint8_t sw_version[2] = {};
std::uint8_t monitor_enabled = 0;
