#include "models.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace qsim {
namespace {

// --- power-on state --------------------------------------------------------

void reset_eeprom(eeprom &e, std::uint16_t page)
{
    std::memset(e.mem, 0xFF, sizeof e.mem); // erased
    e.size = 0;                             // 32768 does not fit 16 bits: 0 stands for the full array
    e.page = page;
    e.address = 0;
    e.write_protect = 0;
}

std::uint32_t eeprom_size(const eeprom &e) { return e.size == 0 ? sizeof e.mem : e.size; }

void reset_monitor(monitor &m)
{
    std::memset(&m, 0, sizeof m);
    m.reg[0x00] = 0x7127;
    for (int ch = 0; ch < 3; ++ch) {
        m.reg[7 + 2 * ch] = 0x7FF8; // critical limits
        m.reg[8 + 2 * ch] = 0x7FF8; // warning limits
    }
    m.reg[0x0F] = 0x0002;
    m.reg[0x10] = 0x2710;
    m.reg[0x11] = 0x2328;
    m.reg[0xFE] = 0x5449;
    m.reg[0xFF] = 0x3220;
}

void reset_expander(expander &x)
{
    std::memset(&x, 0, sizeof x);
    x.reg[2] = 0xFF; // outputs high
    x.reg[3] = 0xFF;
    x.reg[6] = 0xFF; // all pins inputs
    x.reg[7] = 0xFF;
}

// --- I2C devices -------------------------------------------------------------

void expander_refresh_inputs(slice_slot &s, bool alert)
{
    expander &x = s.io;
    // Output pins read back what they drive; input pins float high except
    // the presence pin (low when a slice is fitted) and the alert pin.
    const std::uint8_t in0 = static_cast<std::uint8_t>((x.reg[2] & ~x.reg[6]) | x.reg[6]);
    std::uint8_t in1 = static_cast<std::uint8_t>((x.reg[3] & ~x.reg[7]) | x.reg[7]);
    in1 = static_cast<std::uint8_t>(s.fitted ? (in1 & ~0x40) : (in1 | 0x40));
    in1 = static_cast<std::uint8_t>(alert ? (in1 & ~0x80) : (in1 | 0x80));
    // The input ports show the pin levels through the polarity inversion.
    x.reg[0] = static_cast<std::uint8_t>(in0 ^ x.reg[4]);
    x.reg[1] = static_cast<std::uint8_t>(in1 ^ x.reg[5]);
}

void expander_write(expander &x, std::span<const std::uint8_t> d)
{
    if (d.empty())
        return;
    x.pointer = d[0] & 7;
    for (std::size_t i = 1; i < d.size(); ++i) {
        if (x.pointer >= 2) // input registers are read-only
            x.reg[x.pointer] = d[i];
        x.pointer ^= 1;
    }
}

void expander_read(expander &x, std::span<std::uint8_t> out)
{
    for (auto &byte : out) {
        byte = x.reg[x.pointer];
        x.pointer ^= 1;
    }
}

bool monitor_writable(std::uint8_t r)
{
    return r == 0x00 || (r >= 0x07 && r <= 0x0F) || r == 0x10 || r == 0x11;
}

void monitor_write(monitor &m, std::span<const std::uint8_t> d)
{
    if (d.empty())
        return;
    m.pointer = d[0];
    if (d.size() >= 3 && monitor_writable(m.pointer)) {
        std::uint16_t v = static_cast<std::uint16_t>((d[1] << 8) | d[2]);
        if (m.pointer == 0x0F) // only the enable bits are writable
            v = static_cast<std::uint16_t>((m.reg[0x0F] & 0x03FF) | (v & 0xFC00));
        m.reg[m.pointer] = v;
    }
}

void monitor_read(monitor &m, std::span<std::uint8_t> out)
{
    const std::uint16_t v = m.reg[m.pointer];
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<std::uint8_t>(i % 2 == 0 ? v >> 8 : v & 0xFF);
}

void eeprom_write(eeprom &e, std::span<const std::uint8_t> d)
{
    if (d.size() < 2) {
        if (d.size() == 1) // a lone high address byte
            e.address = static_cast<std::uint16_t>((d[0] << 8) % eeprom_size(e));
        return;
    }
    const std::uint32_t size = eeprom_size(e);
    std::uint32_t addr = ((d[0] << 8) | d[1]) % size;
    e.address = static_cast<std::uint16_t>(addr);
    if (d.size() == 2 || e.write_protect)
        return;
    // Data wrap within the page the write started in, as 24xx parts do.
    const std::uint32_t page_start = addr - addr % e.page;
    for (std::size_t i = 2; i < d.size(); ++i) {
        e.mem[addr] = d[i];
        addr = page_start + (addr + 1 - page_start) % e.page;
    }
    e.address = static_cast<std::uint16_t>(addr);
}

void eeprom_read(eeprom &e, std::span<std::uint8_t> out)
{
    const std::uint32_t size = eeprom_size(e);
    std::uint32_t addr = e.address;
    for (auto &byte : out) {
        byte = e.mem[addr];
        addr = (addr + 1) % size;
    }
    e.address = static_cast<std::uint16_t>(addr);
}

void sensor_write(temp_sensor &t, std::span<const std::uint8_t> d)
{
    if (d.empty())
        return;
    t.pointer = d[0] & 3;
    if (d.size() >= 3 && t.pointer != 0) {
        t.reg[t.pointer] = static_cast<std::uint16_t>((d[1] << 8) | d[2]);
        if (t.pointer == 1)
            t.busy_reads = t.conversion_reads;
    }
}

void sensor_read(temp_sensor &t, std::span<std::uint8_t> out)
{
    std::uint16_t v = t.reg[t.pointer];
    if (t.pointer == 1) {
        // High byte 0x0C while converting, 0x2C once done.
        const bool busy = t.busy_reads > 0;
        if (busy && t.busy_reads != 0xFFFF)
            --t.busy_reads;
        v = static_cast<std::uint16_t>((v & 0x00FF) | (busy ? 0x0C00 : 0x2C00));
    }
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<std::uint8_t>(i % 2 == 0 ? v >> 8 : v & 0xFF);
}

void vdcdc_write(vdcdc &r, std::span<const std::uint8_t> d)
{
    if (d.empty())
        return;
    r.pointer = d[0] & 15;
    for (std::size_t i = 1; i < d.size(); ++i) {
        r.reg[r.pointer] = d[i];
        r.pointer = (r.pointer + 1) & 15;
    }
}

void vdcdc_read(vdcdc &r, std::span<std::uint8_t> out)
{
    for (auto &byte : out) {
        byte = r.reg[r.pointer];
        r.pointer = (r.pointer + 1) & 15;
    }
}

// --- routing -------------------------------------------------------------------

struct target {
    device_kind kind;
    int slice; // -1: board-level
    void *dev;
};

std::uint32_t select_register(board_file_layout &f) { return *register_at(f, region::select, 0); }

// Every device that sees a transfer to `addr` on `bus` at this moment.
std::vector<target> route(board_file_layout &f, int bus, std::uint8_t addr)
{
    board &b = f.state;
    std::vector<target> found;
    if (bus == 0) {
        if (addr == 0x76 || addr == 0x77) {
            found.push_back({device_kind::mux, -1, &b.mux[addr - 0x76]});
            return found;
        }
        if (addr == 0x50)
            found.push_back({device_kind::eeprom, -1, &b.som_eeprom});
        if (addr == 0x51)
            found.push_back({device_kind::eeprom, -1, &b.bb_eeprom});
        for (int ch = 0; ch < 8; ++ch) {
            const bool low = b.mux[0].control & (1u << ch);
            const bool high = b.mux[1].control & (1u << ch);
            if (low && ch <= 4) {
                slice_slot &s = b.slices[ch];
                if (addr == 0x20)
                    found.push_back({device_kind::expander, ch, &s.io});
                if (addr == 0x40)
                    found.push_back({device_kind::monitor, ch, &s.rails});
            }
            if (low && ch == 5 && addr == 0x40)
                found.push_back({device_kind::monitor, -1, &b.som_monitor});
            if (low && ch == 6 && addr == 0x74)
                found.push_back({device_kind::vdcdc, -1, &b.regulator});
            if (high && ch <= 3) {
                slice_slot &s = b.slices[5 + ch];
                if (addr == 0x20)
                    found.push_back({device_kind::expander, 5 + ch, &s.io});
                if (addr == 0x40)
                    found.push_back({device_kind::monitor, 5 + ch, &s.rails});
            }
        }
    } else if (bus == 1) {
        const std::uint32_t sel = select_register(f);
        for (int s = 0; s < slice_count; ++s) {
            if (!(sel & (1u << s)) || !b.slices[s].fitted)
                continue;
            if (addr == 0x54)
                found.push_back({device_kind::eeprom, s, &b.slices[s].storage});
            if (addr == 0x48 && s >= 5)
                found.push_back({device_kind::sensor, s, &b.slices[s].sensor});
        }
    }
    return found;
}

void device_write(const target &t, std::span<const std::uint8_t> d)
{
    switch (t.kind) {
    case device_kind::mux:
        if (!d.empty()) {
            auto *sw = static_cast<i2c_switch *>(t.dev);
            sw->control = static_cast<std::uint8_t>(d.back() & ~sw->dead);
        }
        break;
    case device_kind::expander:
        expander_write(*static_cast<expander *>(t.dev), d);
        break;
    case device_kind::monitor:
        monitor_write(*static_cast<monitor *>(t.dev), d);
        break;
    case device_kind::eeprom:
        eeprom_write(*static_cast<eeprom *>(t.dev), d);
        break;
    case device_kind::sensor:
        sensor_write(*static_cast<temp_sensor *>(t.dev), d);
        break;
    case device_kind::vdcdc:
        vdcdc_write(*static_cast<vdcdc *>(t.dev), d);
        break;
    default:
        break;
    }
}

void device_read(const target &t, std::span<std::uint8_t> out)
{
    switch (t.kind) {
    case device_kind::mux:
        std::fill(out.begin(), out.end(), static_cast<i2c_switch *>(t.dev)->control);
        break;
    case device_kind::expander:
        expander_read(*static_cast<expander *>(t.dev), out);
        break;
    case device_kind::monitor:
        monitor_read(*static_cast<monitor *>(t.dev), out);
        break;
    case device_kind::eeprom:
        eeprom_read(*static_cast<eeprom *>(t.dev), out);
        break;
    case device_kind::sensor:
        sensor_read(*static_cast<temp_sensor *>(t.dev), out);
        break;
    case device_kind::vdcdc:
        vdcdc_read(*static_cast<vdcdc *>(t.dev), out);
        break;
    default:
        break;
    }
}

i2c_result summary(const std::vector<target> &found)
{
    if (found.empty())
        return {false, device_kind::none, -1};
    if (found.size() > 1)
        return {true, device_kind::several, -1};
    return {true, found[0].kind, found[0].slice};
}

// Mask/enable bits 3..9: warning, summation and critical flags.
constexpr std::uint16_t alert_flag_bits = 0x03F8;

// Monitor warning flags (bits 5..3) and critical flags (bits 9..7): a shunt
// reading above the channel's limit, both compared as signed codes.
std::uint16_t monitor_flags(const monitor &m)
{
    std::uint16_t flags = 0;
    for (int ch = 0; ch < 3; ++ch) {
        const auto shunt = static_cast<std::int16_t>(m.reg[1 + 2 * ch]);
        if (shunt > static_cast<std::int16_t>(m.reg[7 + 2 * ch]))
            flags = static_cast<std::uint16_t>(flags | (1u << (9 - ch)));
        if (shunt > static_cast<std::int16_t>(m.reg[8 + 2 * ch]))
            flags = static_cast<std::uint16_t>(flags | (1u << (5 - ch)));
    }
    return flags;
}

} // namespace

void reset(board_file_layout &f, std::uint16_t fitted_mask)
{
    std::memset(f.windows, 0, sizeof f.windows);
    board &b = f.state;
    b.mux[0] = {};
    b.mux[1] = {};
    for (int s = 0; s < slice_count; ++s) {
        slice_slot &slot = b.slices[s];
        slot.fitted = (fitted_mask >> s) & 1;
        reset_expander(slot.io);
        reset_monitor(slot.rails);
        reset_eeprom(slot.storage, 64);
        std::memset(&slot.sensor, 0, sizeof slot.sensor);
        slot.sensor.reg[0] = 25 * 128; // 25 degrees
        slot.sensor.reg[1] = 0x00A0;
        slot.sensor.conversion_reads = 2;
        std::memset(slot.dsa, 0, sizeof slot.dsa);
        std::memset(slot.dsa_writes, 0, sizeof slot.dsa_writes);
    }
    reset_monitor(b.som_monitor);
    reset_eeprom(b.som_eeprom, 32);
    reset_eeprom(b.bb_eeprom, 32);
    std::memset(&b.regulator, 0, sizeof b.regulator);
    std::memset(b.spi_mode, 0, sizeof b.spi_mode);
    std::memset(b.spi_bits, 0, sizeof b.spi_bits);
    std::memset(b.spi_speed, 0, sizeof b.spi_speed);
    std::memset(b.faults, 0, sizeof b.faults);
    b.trace_total = 0;
    update_alerts(f);
}

void set_fitted(board_file_layout &f, int slice, bool fitted)
{
    f.state.slices[slice].fitted = fitted ? 1 : 0;
    update_alerts(f);
}

void update_alerts(board_file_layout &f)
{
    board &b = f.state;
    bool pending = false;
    for (slice_slot &s : b.slices) {
        const std::uint16_t flags = monitor_flags(s.rails);
        // Only the alert flags follow the readings; the enable bits and the
        // timing-control flag (set from power-on) keep their values.
        s.rails.reg[0x0F] = static_cast<std::uint16_t>((s.rails.reg[0x0F] & ~alert_flag_bits) | flags);
        // The warning output is active low and pulls the expander's pin 7.
        const bool alert = (flags & 0x38) != 0;
        expander_refresh_inputs(s, alert);
        pending = pending || alert;
    }
    b.som_monitor.reg[0x0F] = static_cast<std::uint16_t>((b.som_monitor.reg[0x0F] & ~alert_flag_bits) |
                                                         monitor_flags(b.som_monitor));
    std::uint32_t *status = register_at(f, region::control, 0x8);
    *status = pending ? (*status | 1u) : (*status & ~1u);
}

i2c_result i2c_write(board_file_layout &f, int bus, std::uint8_t addr, std::span<const std::uint8_t> data)
{
    const auto found = route(f, bus, addr);
    for (const target &t : found)
        device_write(t, data);
    update_alerts(f);
    return summary(found);
}

i2c_result i2c_read(board_file_layout &f, int bus, std::uint8_t addr, std::span<std::uint8_t> out)
{
    const auto found = route(f, bus, addr);
    // Several devices answering at once: the open-drain bus ANDs their bits.
    std::vector<std::uint8_t> one(out.size());
    std::fill(out.begin(), out.end(), 0xFF);
    for (const target &t : found) {
        device_read(t, one);
        for (std::size_t i = 0; i < out.size(); ++i)
            out[i] &= one[i];
    }
    return summary(found);
}

void spi_transfer(board_file_layout &f, int cs, std::span<const std::uint8_t> tx, std::span<std::uint8_t> rx)
{
    board &b = f.state;
    const std::uint32_t sel = select_register(f);
    int first = -1;
    for (int s = 0; s < slice_count; ++s)
        if ((sel & (1u << s)) && b.slices[s].fitted && first < 0)
            first = s;
    // The attenuator shifts its previous code out while the new one goes in.
    for (std::size_t i = 0; i < rx.size(); ++i)
        rx[i] = first >= 0 && i == 0 ? b.slices[first].dsa[cs] : 0;
    if (tx.empty())
        return;
    for (int s = 0; s < slice_count; ++s) {
        if (!(sel & (1u << s)) || !b.slices[s].fitted)
            continue;
        b.slices[s].dsa[cs] = tx.back();
        ++b.slices[s].dsa_writes[cs];
    }
}

fault make_fault(fault_kind kind)
{
    fault f{};
    f.kind = kind;
    f.bus = fault_any;
    f.addr = fault_any;
    f.count = -1;
    return f;
}

const fault *take_fault(board &b, fault_kind kind, int bus, int addr, std::uint8_t op, const char *path)
{
    for (fault &x : b.faults) {
        if (x.kind != kind)
            continue;
        if (x.bus != fault_any && bus >= 0 && x.bus != bus)
            continue;
        if (x.addr != fault_any && addr >= 0 && x.addr != addr)
            continue;
        if (op != 0 && x.ops != 0 && !(x.ops & op))
            continue;
        if (path != nullptr && x.path[0] != '\0' && std::strcmp(x.path, path) != 0)
            continue;
        if (x.skip > 0) {
            --x.skip;
            return nullptr;
        }
        if (x.count == 0)
            continue;
        if (x.count > 0)
            --x.count;
        return &x;
    }
    return nullptr;
}

bool add_fault(board &b, const fault &wanted)
{
    for (fault &x : b.faults) {
        if (x.kind == fault_kind::none || (x.kind != fault_kind::none && x.count == 0 && x.skip == 0)) {
            x = wanted;
            return true;
        }
    }
    return false;
}

std::uint64_t record(board &b, const trace_entry &e, std::span<const std::uint8_t> data)
{
    trace_entry &slot = b.trace[b.trace_total % trace_capacity];
    slot = e;
    slot.seq = b.trace_total;
    slot.pid = static_cast<std::int32_t>(getpid());
    slot.len = static_cast<std::uint16_t>(std::min<std::size_t>(data.size(), 0xFFFF));
    std::memset(slot.data, 0, sizeof slot.data);
    if (!data.empty())
        std::memcpy(slot.data, data.data(), std::min(data.size(), sizeof slot.data));
    return b.trace_total++;
}

} // namespace qsim
