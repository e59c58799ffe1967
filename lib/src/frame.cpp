// Software version and the two dump utilities.
#include <qelt/qelt.h>

#include <cstdint>
#include <cstdio>

namespace {

constexpr std::uint16_t sw_version = 0x0103; // major 1, minor 3

bool printable(unsigned char c) { return c >= 0x20 && c <= 0x7E; }

// Closes one hex dump line: padding for missing columns, then the bytes
// of the line as characters.
void finish_line(const unsigned char *line, std::uint64_t count, std::uint64_t missing)
{
    for (std::uint64_t i = 0; i < missing; ++i)
        std::fputs("__ ", stdout);
    std::fputs(" |", stdout);
    for (std::uint64_t i = 0; i < count; ++i)
        std::putchar(printable(line[i]) ? line[i] : '.');
    std::fputs("|\n", stdout);
}

} // namespace

extern "C" {

int qelt_read_sw_version(uint8_t version[2])
{
    version[0] = static_cast<uint8_t>(sw_version & 0xFF);
    version[1] = static_cast<uint8_t>(sw_version >> 8);
    return 0;
}

void hex_dump(const void *data, uint64_t n, uint64_t per_line, const char *prefix)
{
    // Zero columns would never close a line; one column per line is the
    // nearest layout that still shows every byte.
    if (per_line == 0)
        per_line = 1;
    const auto *bytes = static_cast<const unsigned char *>(data);
    std::printf("%s | ", prefix);
    const unsigned char *line = bytes;
    for (uint64_t i = 0; i < n; ++i) {
        std::printf("%02X ", bytes[i]);
        const uint64_t count = i + 1;
        const bool last = count == n;
        const uint64_t in_line = static_cast<uint64_t>(bytes + count - line);
        if (count % per_line == 0 || last) {
            finish_line(line, in_line, last ? (per_line - in_line) : 0);
            line = bytes + count;
            if (!last)
                std::printf("%s | ", prefix);
        }
    }
}

void dump_buff(const uint8_t *buf, uint32_t n)
{
    if (n <= 2)
        return;
    std::fwrite(buf + 2, 1, n - 2, stdout);
}

} // extern "C"
