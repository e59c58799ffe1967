// Every device fault the simulator can inject against every library
// operation that meets it, and so against the handle primitives they use:
// the failure result, every descriptor and page given back, LED 1 out, and
// the caller's records left alone where a failed operation must not change
// them. Then every argument an operation must refuse before it touches the
// board.
#include "bus_checks.h"

#include <filesystem>
#include <functional>

namespace {

using namespace qelt_test;

struct device {
    int bus;
    std::uint8_t addr;
};

constexpr device low_mux{0, 0x76}, expander{0, 0x20}, monitor{0, 0x40}, regulator{0, 0x74},
    bb_eeprom{0, 0x51}, som_eeprom{0, 0x50}, slice_eeprom{1, 0x54}, sensor{1, 0x48};

const qsim::fault unmappable = qsim::make_fault(qsim::fault_kind::mem_map);

// What an operation does with a device: it always writes to it, and may
// read it, reach it through the slice multiplexer, or map a GPIO block.
enum : unsigned { writes = 0, reads = 1, muxed = 2, maps = 4 };

// The faults that meet an operation on device `d`: its bus node missing,
// the device absent, refusing to be addressed or refusing transfers, the
// multiplexer or the GPIO pages missing, and for an operation that selects
// a slice, the select alone refused (`select`: pages it maps before).
std::vector<qsim::fault> at(device d, unsigned how, int select = -1)
{
    qsim::fault no_bus = qsim::make_fault(qsim::fault_kind::open);
    std::snprintf(no_bus.path, sizeof no_bus.path, "/dev/i2c-%d", d.bus);
    std::vector<qsim::fault> f{no_bus, nack(d.bus, d.addr), refuse_select(d.bus, d.addr),
                               nack(d.bus, d.addr, qsim::op_write)};
    if (how & reads)
        f.push_back(nack(d.bus, d.addr, qsim::op_read));
    if (how & muxed)
        f.push_back(nack(low_mux.bus, low_mux.addr));
    if (how & maps)
        f.push_back(unmappable);
    if (select >= 0)
        f.push_back(refuse_mapping(select));
    return f;
}

// The spidev node missing, any step of its set-up or its transfer refused,
// the GPIO pages, or the slice select alone (mapped after LED 1's page).
std::vector<qsim::fault> spidev_faults()
{
    std::vector<qsim::fault> f{unmappable, refuse_mapping(1)};
    for (qsim::fault_kind k : {qsim::fault_kind::open, qsim::fault_kind::spi_mode, qsim::fault_kind::spi_bits,
                               qsim::fault_kind::spi_speed, qsim::fault_kind::spi_xfer})
        f.push_back(qsim::make_fault(k));
    return f;
}

// Slices 3, 6 and 7 are fitted; 6 is on the high multiplexer and carries
// a temperature sensor. 7 is routed to the PL bus when an operation starts,
// so that its devices would answer for a slice whose select was refused.
constexpr std::uint8_t slice = 3;
constexpr std::uint8_t sensor_slice = 6;
constexpr std::uint8_t routed = 7;

// What the caller hands the library.
struct records {
    qelt_slice t[QELT_SLICE_COUNT]{}; // the slice table
    qelt_som som{};
    std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(QELT_EEPROM_IMAGE_SIZE, 'b');
    int length = 3;
};

// What a failed operation must leave as it found it.
enum class stays {
    all,       // the whole slice table, the SOM record and the caller's buffer
    presence,  // which slices count as fitted
    unchecked, // what it changes on the way is described with the row
};

// One row: an operation against each of a set of faults, the result it
// gives with any of them, and what stays. A fault that never meets an
// operation (a NACK on read for one that only writes) has no cell.
struct row {
    const char *name;
    std::function<int(records &)> call;
    int result;
    std::vector<qsim::fault> faults;
    stays kept = stays::all;
};

// clang-format off
const row matrix[] = {
    {"dsa_write", [](records &r) { return qelt_dsa_write(r.t, slice, 1, 0); }, 1, spidev_faults()},
    // The counter has no failure result: an unreachable block reads 1.
    {"framecount_readback", [](records &) { return int(qelt_framecount_readback()); }, 1, {unmappable}},
    {"framesync_delay", [](records &) { return qelt_framesync_delay(0); }, 1, {unmappable}},
    {"fb_switch", [](records &r) { return qelt_fb_switch(r.t, 1, 2, 5); }, 1, {unmappable}},
    {"slgpio_swmatrix", [](records &r) { return qelt_slgpio_swmatrix(r.t, slice, 0, 1, 0); },
        1, {unmappable}},
    {"led_status", [](records &) { return qelt_led_status(1); }, 1, {unmappable}},
    {"led_set", [](records &) { return qelt_led_set(1); }, 1, {unmappable}},
    {"eeprom_read", [](records &r) { return qelt_eeprom_read(r.t, slice); }, 1,
        at(slice_eeprom, reads | maps, 0)},
    {"eeprom_write", [](records &r) { return qelt_eeprom_write(r.t, slice); }, 1,
        at(slice_eeprom, writes | maps, 0)},
    {"bb_eeprom_read", [](records &r) { return qelt_bb_eeprom_read(r.buffer.data(), &r.length); }, 1,
        at(bb_eeprom, reads)},
    {"bb_eeprom_write", [](records &r) { return qelt_bb_eeprom_write(r.buffer.data(), 3); }, 1,
        at(bb_eeprom, writes)},
    {"setup_vdcdc", [](records &) { return qelt_setup_vdcdc(5.0f); }, 1, at(regulator, muxed)},
    {"vdd_enable", [](records &r) { return qelt_vdd_enable(r.t, slice, 1, 0xED); }, 1, at(expander, muxed)},
    {"v3p3_enable", [](records &r) { return qelt_v3p3_enable(r.t, slice, 1); }, 1, at(expander, muxed)},
    {"v5p0_enable", [](records &r) { return qelt_v5p0_enable(r.t, slice, 1); }, 1, at(expander, muxed)},
    {"vdd_set", [](records &r) { return qelt_vdd_set(r.t, slice); }, 301, at(regulator, muxed)},
    // The regulator moved; the rail could not be switched off for it, or
    // on again with its new code.
    {"vdd_set", [](records &r) { return qelt_vdd_set(r.t, slice); }, 302,
        {nack(0, 0x20), refuse_select(0, 0x20), nack(0, 0x20, qsim::op_write)}, stays::unchecked},
    {"vdd_set", [](records &r) { return qelt_vdd_set(r.t, slice); }, 303,
        {nack(0, 0x20, qsim::op_write, 1), nack(0, 0x20, qsim::op_write, 2)}, stays::unchecked},
    {"read_psu", [](records &r) { return qelt_read_psu(r.t, slice); }, 1, at(monitor, reads | muxed)},
    {"read_som_psu", [](records &r) { return qelt_read_som_psu(&r.som); }, 1, at(monitor, reads | muxed)},
    {"cfg_slice_psu", [](records &r) { return qelt_cfg_slice_psu(r.t, slice); }, 1, at(monitor, muxed)},
    {"detect_intr", [](records &r) { return qelt_detect_intr(r.t); }, 1, at(expander, reads | muxed | maps)},
    {"psu_intr_detect", [](records &r) { return qelt_psu_intr_detect(r.t); }, 1, at(expander, reads | muxed)},
    {"intr_parse", [](records &r) { return qelt_intr_parse(r.t); }, 1, at(monitor, reads | muxed)},
    // The pass goes on past every failure; a slice it cannot detect keeps
    // the answer it had.
    {"init_boot", [](records &r) { return qelt_init_boot(r.t); }, 0,
        at(expander, reads | muxed | maps), stays::presence},
    {"board_temperature", [](records &r) { return qelt_board_temperature(r.t, sensor_slice); }, 1,
        at(sensor, reads | maps, 1)},
    {"som_config_read", [](records &r) { return qelt_som_config_read(&r.som); }, 1, at(som_eeprom, reads)},
};
// clang-format on

// Records as a working board leaves them: the slices fitted and set up,
// an image to write, readings taken, settings made, slice 3's alert seen.
records working_records()
{
    records r;
    for (std::uint8_t s : {slice, sensor_slice, routed}) {
        qelt_slice &x = r.t[s];
        x.present = 1;
        x.eeprom_page_size = 64;
        x.eeprom_len = 3;
        std::copy_n("abc", 3, x.eeprom);
        x.dsa_value[1][0] = 12.5f;
        x.dsa_step[1][0] = 0.25f;
        x.vdd_voltage = 5.0f;
        x.temperature = 21.0f;
        std::fill(std::begin(x.psu), std::end(x.psu), 0.5f);
    }
    r.t[slice].psu_alert = 1;
    r.t[8].vdcdc_voltage = 3.7f;
    std::fill(std::begin(r.som.psu), std::end(r.som.psu), 0.25f);
    std::copy_n("rev", 3, r.som.revision);
    return r;
}

bool same_records(const records &a, const records &b)
{
    return std::memcmp(a.t, b.t, sizeof a.t) == 0 && std::memcmp(&a.som, &b.som, sizeof a.som) == 0 &&
           a.buffer == b.buffer && a.length == b.length;
}

auto open_descriptors() { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); }

TEST(FaultMatrix, EveryFaultAgainstEveryOperationThatMeetsIt)
{
    qelt_log_level = 1;
    for (const row &r : matrix) {
        for (const qsim::fault &f : r.faults) {
            SCOPED_TRACE(::testing::Message()
                         << "qelt_" << r.name << " with simulator fault " << int(f.kind) << " at bus "
                         << int(f.bus) << " addr " << int(f.addr) << " ops " << int(f.ops) << " skip "
                         << f.skip << " " << f.path);
            sim_board board{slice, sensor_slice, routed};
            board.reg(0xA0050008) = 1; // a rail alert is pending
            board.reg(0xA0070000) = 1u << routed;
            // The simulator keeps the current board open once reached: reach
            // it before counting.
            qelt_led_status(0);
            board.clear_trace();
            const auto descriptors = open_descriptors();
            board.inject(f);
            records now = working_records();
            const records before = now;
            int result = -1;
            const std::string out = capture_stdout([&] { result = r.call(now); });

            EXPECT_EQ(result, r.result) << out;
            // A failure is reported by its result and an error line.
            EXPECT_TRUE(r.result == 0 || out.starts_with("Error : ")) << out;
            EXPECT_EQ(open_descriptors(), descriptors) << "descriptor left open";
            EXPECT_TRUE(released(board));
            if (r.kept == stays::all) {
                EXPECT_TRUE(same_records(now, before)) << "records changed by a failed operation";
            }
            for (int s = 0; r.kept == stays::presence && s < QELT_SLICE_COUNT; ++s)
                EXPECT_EQ(now.t[s].present, before.t[s].present) << "presence changed without a detection";
        }
    }
    qelt_log_level = 0;
}

// Slots 3 and 4 usable (4 has no sensor), 2 not fitted, 5 and 6 holding
// settings that mean nothing, and a tenth record past the table's end, so
// that a write past the ninth shows. A read past slice 3's last channel or
// stage lands on values that would do for a write.
std::vector<qelt_slice> refusal_records()
{
    std::vector<qelt_slice> t(QELT_SLICE_COUNT + 1);
    for (int s : {3, 4, 5, 6, 9}) {
        t[s].present = 1;
        t[s].eeprom_page_size = 64;
        t[s].vdd_voltage = 5.0f;
        std::fill_n(&t[s].dsa_value[0][0], 8, 10.0f);
        std::fill_n(&t[s].dsa_step[0][0], 8, 0.25f);
    }
    t[3].vdd_voltage = 0.25f;
    t[4].eeprom_len = 32766;
    t[5].dsa_step[0][0] = 0.0f;
    t[5].dsa_step[1][0] = -0.25f;
    t[5].dsa_value[2][0] = NAN;
    t[5].dsa_step[3][0] = NAN;
    t[5].vdd_voltage = NAN;
    t[5].eeprom_page_size = 0;
    t[6].eeprom_page_size = 65;
    return t;
}

// Each operation with every argument set it must refuse (slice first).
TEST(FaultMatrix, RefusedBeforeTheBoardIsTouched)
{
    using args = std::vector<int>;
    qelt_spidev spidev{};
    spidev.path = "/dev/spidev2.0";
    const std::pair<std::function<int(qelt_slice *, args)>, std::vector<args>> refusals[] = {
        // Channel 4, stage 2; step 0, negative, value NaN, step NaN.
        {[](qelt_slice *t, args a) { return qelt_dsa_write(t, a[0], a[1], a[2]); },
         {{9, 0, 0}, {2, 0, 0}, {3, 4, 0}, {3, 0, 2}, {5, 0, 0}, {5, 1, 0}, {5, 2, 0}, {5, 3, 0}}},
        {[&spidev](qelt_slice *, args) { return qelt_spidev_init(&spidev, 1); }, {{}}}, // mode 1
        {[](qelt_slice *t, args a) { return qelt_eeprom_read(t, a[0]); }, {{9}, {5}}},
        // Chunks of 65, 32766 bytes.
        {[](qelt_slice *t, args a) { return qelt_eeprom_write(t, a[0]); }, {{9}, {2}, {6}, {4}}},
        {[](qelt_slice *t, args a) { return qelt_eeprom_clear(t, a[0]); }, {{9}}},
        {[](qelt_slice *t, args) { return qelt_bb_eeprom_write(t[3].eeprom, 32766); }, {{}}},
        // Type 3, GPIO 8.
        {[](qelt_slice *t, args a) { return qelt_slgpio_swmatrix(t, a[0], a[1], a[2], 1); },
         {{9, 1, 0}, {3, 1, 3}, {3, 8, 0}}},
        {[](qelt_slice *t, args a) { return qelt_v3p3_enable(t, a[0], 1); }, {{9}}},
        {[](qelt_slice *t, args a) { return qelt_v5p0_enable(t, a[0], 1); }, {{9}}},
        {[](qelt_slice *t, args a) { return qelt_vdd_enable(t, a[0], 1, 0x12); }, {{9}}},
        {[](qelt_slice *t, args a) { return qelt_vdd_set(t, a[0]); }, {{9}, {2}, {5}}},
        {[](qelt_slice *, args) { return qelt_setup_vdcdc(NAN); }, {{}}},
        {[](qelt_slice *t, args a) { return qelt_read_psu(t, a[0]); }, {{9}, {2}}},
        {[](qelt_slice *t, args a) { return qelt_cfg_slice_psu(t, a[0]); }, {{9}, {2}}},
        {[](qelt_slice *t, args a) { return qelt_board_temperature(t, a[0]); }, {{9}, {2}, {4}}},
        {[](qelt_slice *t, args a) { return qelt_power_detect(t, a[0], a[1]); }, {{9, 0}, {3, 4}}},
    };
    int operation = 0;
    for (const auto &[call, refused] : refusals) {
        ++operation;
        for (const args &a : refused) {
            SCOPED_TRACE(::testing::Message()
                         << "operation " << operation << ", arguments " << ::testing::PrintToString(a));
            sim_board board;
            std::vector<qelt_slice> table = refusal_records();
            const std::vector<qelt_slice> before = table;
            EXPECT_EQ(call(table.data(), a), 1);
            EXPECT_TRUE(untouched(board));
            EXPECT_EQ(std::memcmp(table.data(), before.data(), table.size() * sizeof table[0]), 0);
        }
    }
}

} // namespace
