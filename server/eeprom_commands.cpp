// Commands on the slice and base-board EEPROMs. Payloads travel as one
// request character per byte, blanks and line ends included.
#include "command_args.h"
#include "command_handlers.h"
#include "server_state.h"

#include <algorithm>
#include <cstdio>

std::uint8_t command_work_buffer[32768];

namespace {

// The chunk size a slice EEPROM is written and read in when detection has
// not set one yet, as the board control tool uses.
constexpr std::uint8_t default_page_size = 64;

// Copies `count` payload characters into `into`. False when the request
// ends first; the bytes taken so far stay stored.
bool take_payload(const char *payload, std::uint32_t count, std::uint8_t *into)
{
    for (std::uint32_t k = 0; k < count; ++k) {
        if (payload[k] == '\0')
            return false;
        into[k] = static_cast<std::uint8_t>(payload[k]);
    }
    return true;
}

void ensure_page_size(qelt_slice &slice)
{
    if (slice.eeprom_page_size == 0)
        slice.eeprom_page_size = default_page_size;
}

} // namespace

int cmd_eeprom_clear(const request_context &rq)
{
    std::uint8_t slice = 0;
    if (!command_args(rq.request).whole(slice, slice_range) || qelt_eeprom_clear(slice_table, slice) != 0)
        return reply_failure(rq);
    return reply_text(rq, "cmd_status %d", status_ok);
}

int cmd_eeprom_write(const request_context &rq)
{
    command_args args(rq.request);
    std::uint8_t slice = 0;
    std::uint32_t count = 0;
    if (!args.whole(slice, slice_range) || !args.whole(count, payload_range))
        return reply_failure(rq);
    qelt_slice &s = slice_table[slice];
    if (!take_payload(args.rest(), count, s.eeprom))
        return reply_failure(rq);
    s.eeprom_len = count;
    ensure_page_size(s);
    if (qelt_eeprom_write(slice_table, slice) != 0)
        return reply_failure(rq);
    return reply_text(rq, "cmd_status %d", status_ok);
}

int cmd_eeprom_read(const request_context &rq)
{
    std::uint8_t slice = 0;
    if (!command_args(rq.request).whole(slice, slice_range))
        return reply_failure(rq);
    qelt_slice &s = slice_table[slice];
    ensure_page_size(s);
    if (qelt_eeprom_read(slice_table, slice) != 0)
        return reply_failure(rq);
    const std::size_t n = std::min<std::size_t>(s.eeprom_len, sizeof s.eeprom);
    return reply_bytes(rq, "data", s.eeprom, n);
}

int cmd_bb_eeprom_write(const request_context &rq)
{
    command_args args(rq.request);
    std::uint32_t count = 0;
    if (!args.whole(count, payload_range) || !take_payload(args.rest(), count, command_work_buffer) ||
        qelt_bb_eeprom_write(command_work_buffer, count) != 0)
        return reply_failure(rq);
    return reply_text(rq, "cmd_status %d", status_ok);
}

int cmd_bb_eeprom_read(const request_context &rq)
{
    int size = 0;
    if (qelt_bb_eeprom_read(command_work_buffer, &size) != 0 || size < 0 ||
        size > static_cast<int>(sizeof command_work_buffer))
        return reply_failure(rq);
    return reply_bytes(rq, "data", command_work_buffer, static_cast<std::size_t>(size));
}
