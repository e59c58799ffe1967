#include "board_pass.h"

#include "board_map.h"
#include "convert.h"
#include "slice_cfg.h"

#include <chrono>
#include <cstdint>

namespace {

using namespace qelt;

// Static storage: each record carries a 32 KiB EEPROM image this program
// never uses, and pages never touched never become resident.
qelt_slice board_table[QELT_SLICE_COUNT];
qelt_slice settings_table[QELT_SLICE_COUNT];

// The board lock for one multi-step sequence, so that no other program
// switches the multiplexer between this one's selection and its transfers.
class board_hold {
  public:
    board_hold() { qelt_board_lock(); }
    ~board_hold() { qelt_board_unlock(); }
    board_hold(const board_hold &) = delete;
    board_hold &operator=(const board_hold &) = delete;
};

// A handle on the base-board bus for one sequence.
class board_bus {
  public:
    board_bus()
    {
        h_.path = map::board_bus;
        qelt_i2c_init(&h_);
    }
    ~board_bus() { qelt_i2c_close(&h_); }
    board_bus(const board_bus &) = delete;
    board_bus &operator=(const board_bus &) = delete;

    bool route(std::uint8_t slice) { return qelt_i2c_mux_enable(&h_, slice) == 0; }
    bool select(std::uint8_t addr) { return qelt_i2c_devselect(&h_, addr) == 0; }

    // The register number as one message, then `count` bytes.
    bool read_register(std::uint8_t reg, std::uint8_t count)
    {
        h_.wbuf[0] = reg;
        h_.wlen = 1;
        h_.rlen = count;
        return qelt_i2c_write(&h_) == 0 && qelt_i2c_read(&h_) == 0;
    }
    std::uint8_t byte() const { return h_.rbuf[0]; }
    std::uint16_t word() const { return static_cast<std::uint16_t>((h_.rbuf[0] << 8) | h_.rbuf[1]); }

  private:
    qelt_i2c h_{};
};

// Input port 1 of the slice's expander carries the presence pin and the
// monitor's alert line. Reading it changes none of the expander's outputs
// or directions, so it works whether or not a program ran detection.
bool read_slice_lines(board_bus &bus, std::uint8_t slice, slice_snapshot &s)
{
    if (!bus.route(slice) || !bus.select(map::expander_addr) || !bus.read_register(map::expander::input1, 1))
        return false;
    s.present = (bus.byte() & (1u << map::expander::present_bit)) == 0;
    s.alert = (bus.byte() & (1u << map::expander::alert_bit)) == 0;
    return true;
}

// A warning limit is in the code of the shunt reading it is compared with:
// the same conversion keeps a current and its limit comparable.
std::optional<std::array<float, 3>> read_warning_limits(board_bus &bus)
{
    if (!bus.select(map::monitor_addr))
        return std::nullopt;
    std::array<float, 3> amperes{};
    for (int ch = 0; ch < 3; ++ch) {
        if (!bus.read_register(map::monitor::warning(ch), 2))
            return std::nullopt;
        amperes[ch] = convert::shunt_current(bus.word(), ch == 2);
    }
    return amperes;
}

// One slice under one hold, so that its lines, limits and readings belong
// together.
void read_slice(std::uint8_t slice, board_snapshot &snap)
{
    slice_snapshot &s = snap.slices[slice];
    const board_hold hold;
    {
        board_bus bus;
        if (!read_slice_lines(bus, slice, s)) {
            ++snap.failures;
            return;
        }
        if (!*s.present)
            return;
        s.warning_amperes = read_warning_limits(bus);
        snap.failures += s.warning_amperes ? 0 : 1;
    }
    qelt_slice &record = board_table[slice];
    record.present = 1;
    if (qelt_read_psu(board_table, slice) == 0)
        s.psu = std::to_array(record.psu);
    else
        ++snap.failures;
    if (slice < map::first_sensor_slice)
        return;
    if (qelt_board_temperature(board_table, slice) == 0)
        s.celsius = record.temperature;
    else
        ++snap.failures;
}

std::optional<bool> read_interrupt_pending()
{
    const board_hold hold;
    qelt_gpio block{};
    block.base = map::control::base;
    if (qelt_gpio_open(&block) != 0)
        return std::nullopt;
    block.offset = map::control::irq_status;
    const bool read = qelt_gpio_read(&block) == 0;
    qelt_gpio_close(&block);
    if (!read)
        return std::nullopt;
    return (block.rdata & 1u) != 0;
}

// The settings the hardware cannot report back, read without the update
// lock (whose file it would create): writers replace the file whole, so a
// read sees one complete version of it. False when it exists but cannot be
// read.
bool read_settings(board_snapshot &snap)
{
    if (!slice_cfg::exists())
        return true;
    if (slice_cfg::sync_file(settings_table) != 0)
        return false;
    snap.settings = settings_table;
    return true;
}

} // namespace

board_snapshot read_board()
{
    const auto start = std::chrono::steady_clock::now();
    board_snapshot snap;
    qelt_read_sw_version(snap.version.data());
    for (std::uint8_t slice = 0; slice < map::slice_count; ++slice)
        read_slice(slice, snap);

    qelt_som som{};
    if (qelt_read_som_psu(&som) == 0)
        snap.som_psu = std::to_array(som.psu);
    else
        ++snap.failures;
    snap.interrupt_pending = read_interrupt_pending();
    snap.failures += snap.interrupt_pending ? 0 : 1;
    snap.failures += read_settings(snap) ? 0 : 1;

    snap.duration_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return snap;
}
