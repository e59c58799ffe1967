// Commands on the slice and base-board EEPROMs. Payloads travel as one
// request character per byte, blanks and line ends included.
#include "command_call.h"
#include "server_state.h"

#include <algorithm>
#include <cstdio>

namespace {

// Beyond this neither EEPROM image nor the work buffer has room.
constexpr int max_payload = 32768;

// The chunk size a slice EEPROM is written and read in when detection has
// not set one yet, as the board control tool uses.
constexpr std::uint8_t default_page_size = 64;

// Copies `count` request characters starting at `offset` into `into`.
// False when the request ends first; the bytes taken so far stay stored.
bool take_payload(const char *request, int offset, int count, std::uint8_t *into)
{
    for (int k = 0; k < count; ++k) {
        const char c = request[offset + k];
        if (c == '\0')
            return false;
        into[k] = static_cast<std::uint8_t>(c);
    }
    return true;
}

bool count_ok(int count) { return count >= 0 && count <= max_payload; }

void ensure_page_size(qelt_slice &slice)
{
    if (slice.eeprom_page_size == 0)
        slice.eeprom_page_size = default_page_size;
}

} // namespace

int cmd_eeprom_clear(const command_call &call)
{
    int slice = 0;
    if (std::sscanf(call.request, "%*s %d", &slice) != 1 || !slice_ok(slice) ||
        qelt_eeprom_clear(slice_table, static_cast<std::uint8_t>(slice)) != 0)
        return reply_failure(call);
    return reply_text(call, "cmd_status %d", status_ok);
}

int cmd_eeprom_write(const command_call &call)
{
    int value = 0;
    int count = 0;
    int offset = 0;
    if (std::sscanf(call.request, "%*s %d %d %n", &value, &count, &offset) != 2)
        return reply_failure(call);
    if (!slice_ok(value) || !count_ok(count))
        return reply_failure(call);
    const auto slice = static_cast<std::uint8_t>(value);
    qelt_slice &s = slice_table[slice];
    if (!take_payload(call.request, offset, count, s.eeprom))
        return reply_failure(call);
    s.eeprom_len = static_cast<std::uint32_t>(count);
    ensure_page_size(s);
    if (qelt_eeprom_write(slice_table, slice) != 0)
        return reply_failure(call);
    return reply_text(call, "cmd_status %d", status_ok);
}

int cmd_eeprom_read(const command_call &call)
{
    int value = 0;
    if (std::sscanf(call.request, "%*s %d", &value) != 1 || !slice_ok(value))
        return reply_failure(call);
    const auto slice = static_cast<std::uint8_t>(value);
    qelt_slice &s = slice_table[slice];
    ensure_page_size(s);
    if (qelt_eeprom_read(slice_table, slice) != 0)
        return reply_failure(call);
    const std::size_t n = std::min<std::size_t>(s.eeprom_len, sizeof s.eeprom);
    return reply_bytes(call, "data", s.eeprom, n);
}

int cmd_bb_eeprom_write(const command_call &call)
{
    int count = 0;
    int offset = 0;
    if (std::sscanf(call.request, "%*s %d %n", &count, &offset) != 1 || !count_ok(count) ||
        !take_payload(call.request, offset, count, command_work_buffer) ||
        qelt_bb_eeprom_write(command_work_buffer, static_cast<std::uint32_t>(count)) != 0)
        return reply_failure(call);
    return reply_text(call, "cmd_status %d", status_ok);
}

int cmd_bb_eeprom_read(const command_call &call)
{
    int size = 0;
    if (qelt_bb_eeprom_read(command_work_buffer, &size) != 0 || size < 0 ||
        size > static_cast<int>(sizeof command_work_buffer))
        return reply_failure(call);
    return reply_bytes(call, "data", command_work_buffer, static_cast<std::size_t>(size));
}
