#include "show.h"

#include "models.h"

#include <cinttypes>

namespace qsim {
namespace {

const char *on_off(bool on) { return on ? "on " : "off"; }

const char *device_name(device_kind k)
{
    switch (k) {
    case device_kind::mux:
        return "mux";
    case device_kind::expander:
        return "expander";
    case device_kind::monitor:
        return "monitor";
    case device_kind::eeprom:
        return "eeprom";
    case device_kind::sensor:
        return "sensor";
    case device_kind::vdcdc:
        return "vdcdc";
    case device_kind::several:
        return "several devices";
    default:
        return "nobody";
    }
}

void show_bytes(const trace_entry &e, std::FILE *out)
{
    std::fprintf(out, " [%u]", e.len);
    const unsigned shown = e.len < sizeof e.data ? e.len : sizeof e.data;
    for (unsigned i = 0; i < shown; ++i)
        std::fprintf(out, " %02x", e.data[i]);
    if (shown < e.len)
        std::fputs(" ...", out);
}

// Rails as the expander drives them: an enable counts only on a pin
// configured as an output.
void show_rails(const expander &x, std::FILE *out)
{
    const std::uint8_t driven = static_cast<std::uint8_t>(x.reg[3] & ~x.reg[7]);
    std::fprintf(out, "  rails: VDD %s  3.3V %s  5.0V %s", on_off(driven & 1), on_off(driven & 4),
                 on_off(driven & 2));
    const auto code = static_cast<std::uint8_t>(~x.reg[6]);
    std::fprintf(out, "  VDD code 0x%02x = %.2f V\n", code, vdd_volts(code));
}

void show_monitor(const char *name, const monitor &m, std::FILE *out)
{
    static const char *rail[3] = {"VDD", "3.3V", "5.0V"};
    std::fprintf(out, "  %s:", name);
    for (int ch = 0; ch < 3; ++ch)
        std::fprintf(out, "  %s %.3f A %.3f V (warn %.3f A)", rail[ch], monitor_amps(m.reg[1 + 2 * ch], ch),
                     monitor_volts(m.reg[2 + 2 * ch]), monitor_amps(m.reg[8 + 2 * ch], ch));
    std::fprintf(out, "  flags 0x%04x\n", m.reg[0x0F]);
}

// An empty slot nobody has driven: one line is enough for it.
bool quiet(const slice_slot &slot)
{
    const std::uint8_t driven = static_cast<std::uint8_t>(slot.io.reg[3] & ~slot.io.reg[7]);
    bool written = false;
    for (const std::uint32_t n : slot.dsa_writes)
        written = written || n != 0;
    return (driven & 0x07) == 0 && !written;
}

} // namespace

double dsa_db(std::uint8_t wire_byte)
{
    std::uint8_t code = 0;
    for (int i = 0; i < 8; ++i)
        if (wire_byte & (1u << i))
            code = static_cast<std::uint8_t>(code | (0x80u >> i));
    return code * 0.25;
}

double vdd_volts(std::uint8_t code) { return (code & 0x80) ? 7.8 + (code & 0x7F) * 0.1 : 1.4 + code * 0.1; }

double vdcdc_output_volts(std::uint16_t ref_code) { return (ref_code / 885.0 + 0.045) * 18.73049645390071; }

double monitor_amps(std::uint16_t raw, int channel)
{
    return raw * 0.125 * 40 / (channel == 2 ? 25000.0 : 50000.0);
}

double monitor_volts(std::uint16_t raw) { return raw * 0.125 * 80 / 10000.0; }

void show_board(board_file_layout &f, std::FILE *out)
{
    board &b = f.state;
    const std::uint32_t control = *register_at(f, region::control, 0);
    std::fprintf(out, "LED 0 %s  LED 1 %s  interrupt status 0x%x\n", on_off(control & 1), on_off(control & 2),
                 *register_at(f, region::control, 8));
    const std::uint32_t fb = (control >> 8) & 0xFF;
    std::fprintf(out, "feedback switch: GUI control %u  ADC8 port %u  ADC9 port %u\n", fb >> 7, fb & 7,
                 (fb >> 3) & 7);
    std::fprintf(out, "frame-sync: counter %u  delay %u   slice select 0x%03x\n",
                 *register_at(f, region::framesync, 4), *register_at(f, region::framesync, 0),
                 *register_at(f, region::select, 0));
    const std::uint16_t ref = static_cast<std::uint16_t>(b.regulator.reg[0] | (b.regulator.reg[1] << 8));
    std::fprintf(out, "I2C switches: 0x76 = 0x%02x  0x77 = 0x%02x   VDCDC reference 0x%04x = %.2f V out\n",
                 b.mux[0].control, b.mux[1].control, ref, vdcdc_output_volts(ref));
    show_monitor("SOM monitor", b.som_monitor, out);
    std::fprintf(out, "EEPROM write protect: base board %s  SOM %s\n", on_off(b.bb_eeprom.write_protect),
                 on_off(b.som_eeprom.write_protect));
    for (int s = 0; s < slice_count; ++s) {
        const slice_slot &slot = b.slices[s];
        if (!slot.fitted && quiet(slot)) {
            std::fprintf(out, "slice %d: empty\n", s);
            continue;
        }
        std::fprintf(out, "slice %d: %s  GPIO matrix 0x%04x", s, slot.fitted ? "fitted" : "empty",
                     *register_at(f, region::matrix, 4u * s));
        if (s >= 5)
            std::fprintf(out, "  temperature %.2f C", static_cast<std::int16_t>(slot.sensor.reg[0]) / 128.0);
        if (slot.storage.write_protect)
            std::fputs("  EEPROM write protected", out);
        std::fputc('\n', out);
        std::fputs("  DSA:", out);
        for (int cs = 0; cs < 4; ++cs)
            std::fprintf(out, "  cs%d %.2f dB (0x%02x, %u writes)", cs, dsa_db(slot.dsa[cs]), slot.dsa[cs],
                         slot.dsa_writes[cs]);
        std::fputc('\n', out);
        show_rails(slot.io, out);
        show_monitor("monitor", slot.rails, out);
    }
}

void show_trace_entry(const trace_entry &e, std::FILE *out)
{
    std::fprintf(out, "#%" PRIu64 " pid %d ", e.seq, e.pid);
    switch (e.kind) {
    case trace_kind::open:
        std::fprintf(out, "open %.*s%s\n", static_cast<int>(e.len), reinterpret_cast<const char *>(e.data),
                     e.ok ? "" : " REFUSED");
        return;
    case trace_kind::close:
        std::fputs("close\n", out);
        return;
    case trace_kind::mem_map:
        std::fprintf(out, "mem map 0x%08x%s\n", e.value, e.ok ? "" : " REFUSED");
        return;
    case trace_kind::mem_unmap:
        std::fprintf(out, "mem unmap 0x%08x\n", e.value);
        return;
    case trace_kind::i2c_address:
        std::fprintf(out, "i2c-%u address 0x%02x%s\n", e.bus, e.addr, e.ok ? "" : " REFUSED");
        return;
    case trace_kind::i2c_write:
    case trace_kind::i2c_read:
        std::fprintf(out, "i2c-%u 0x%02x %s", e.bus, e.addr,
                     e.kind == trace_kind::i2c_write ? "write" : "read");
        show_bytes(e, out);
        if (!e.ok)
            std::fputs(" NACK", out);
        else if (e.slice >= 0)
            std::fprintf(out, " -> %s of slice %d", device_name(e.device), e.slice);
        else
            std::fprintf(out, " -> %s", device_name(e.device));
        if (e.pause_us != 0)
            std::fprintf(out, ", then %u us pause", e.pause_us);
        std::fputc('\n', out);
        return;
    case trace_kind::spi_transfer:
        std::fprintf(out, "spidev2.%u transfer", e.bus);
        show_bytes(e, out);
        std::fprintf(out, " slice select 0x%03x%s%s\n", e.value, e.spi.cs_change ? " chip select held" : "",
                     e.ok ? "" : " REFUSED");
        return;
    }
}

} // namespace qsim
