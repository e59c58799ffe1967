#include "slice_actions.h"

#include "eeprom_files.h"
#include "tool_log.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace {

// The tool programs the first stage of a DSA only, in quarter-dB steps.
constexpr std::uint8_t dsa_stage = 0;
constexpr float dsa_step_db = 0.25f;
constexpr float vdd_set_point = 6.0f;
constexpr std::uint8_t default_eeprom_page_size = 64;
constexpr int slice_gpio_count = 6;

// The operator's channel 1 is wired to the library's DSA channel 2.
std::uint8_t library_dsa_channel(std::uint8_t channel) { return channel == 1 ? 2 : 0; }

// Spins until the process has used n more ticks of processor time. After a
// new VDD set point the tool pauses 10 ticks, 10 us at the usual million
// ticks a second: a short breath between bus operations, far shorter than
// a rail takes to settle.
void busy_wait_ticks(std::clock_t n)
{
    const std::clock_t start = std::clock();
    if (start == static_cast<std::clock_t>(-1))
        return; // no processor time available: waiting on it would never end
    while (std::clock() < start + n) {
    }
}

void show_dsa(const qelt_slice &slice, std::uint8_t n, std::uint8_t channel)
{
    std::printf("Slice %d is ON !!!\n", n);
    std::printf("Slice %d,  DSA Value Readback [Chann = %d, Stage = %d] = %0.2f dB!!!\n", n, channel,
                dsa_stage, slice.dsa_value[library_dsa_channel(channel)][dsa_stage]);
}

bool write_dsa(qelt_slice *table, std::uint8_t n, std::uint8_t channel, float value)
{
    TOOL_INFO("CFG DSA : Channel = %d, Stage = %d, Step = %0.2f , Value = %0.2f", channel, dsa_stage,
              dsa_step_db, value);
    const std::uint8_t dsa_channel = library_dsa_channel(channel);
    float &stored_value = table[n].dsa_value[dsa_channel][dsa_stage];
    float &stored_step = table[n].dsa_step[dsa_channel][dsa_stage];
    const float old_value = stored_value;
    const float old_step = stored_step;
    stored_value = value;
    stored_step = dsa_step_db;
    if (qelt_dsa_write(table, n, dsa_channel, dsa_stage) != 0) {
        // The record is what the configuration file keeps and what a later
        // readback shows; it must go on naming what the attenuator holds.
        stored_value = old_value;
        stored_step = old_step;
        TOOL_ERROR("Slice %d, DSA Write Unsuccessful!!! \\n", n);
        return false;
    }
    std::printf("Slice %d, DSA Value Write [Chann = %d, Stage = %d] = %0.2f dB!!!\n", n, channel, dsa_stage,
                value);
    return true;
}

bool read_temperature(qelt_slice *table, std::uint8_t n)
{
    if (qelt_board_temperature(table, n) != 0) {
        TOOL_ERROR("Board Temperature Read Unsuccessful!!! \\n");
        return false;
    }
    std::printf("Slice %d, Board Temperature = %0.2f\n", n, table[n].temperature);
    return true;
}

using rail_switch = int (*)(qelt_slice *, std::uint8_t, std::uint8_t);

struct ldo_rail {
    const char *label;
    std::uint8_t qelt_slice::*state;
    std::uint8_t tool_options::*requested;
    rail_switch switch_rail;
};

// In the order the rails are switched.
const ldo_rail ldo_rails[] = {
    {"3.3V", &qelt_slice::v3p3_on, &tool_options::v3p3_bit, qelt_v3p3_enable},
    {"5.0V", &qelt_slice::v5p0_on, &tool_options::v5p0_bit, qelt_v5p0_enable},
    {"VDD", &qelt_slice::vdd_on, &tool_options::vdd_bit,
     [](qelt_slice *table, std::uint8_t n, std::uint8_t on) {
         return qelt_vdd_enable(table, n, on, 0); // 0: keep the VDD code
     }},
};

// Switches one rail when its state differs from the request. The line
// tells an operator the rail's new state, so it stands only for a switch
// that took place; the library reports a refused one.
bool switch_ldo(qelt_slice *table, std::uint8_t n, const ldo_rail &rail, std::uint8_t wanted)
{
    if (table[n].*rail.state == wanted)
        return true;
    if (rail.switch_rail(table, n, wanted) != 0)
        return false;
    std::printf("%s LDO %s\n", rail.label, wanted != 0 ? "Enabled" : "Disabled");
    return true;
}

bool set_vdd(qelt_slice *table, std::uint8_t n)
{
    qelt_slice &slice = table[n];
    const float old_set_point = slice.vdd_voltage;
    slice.vdd_voltage = vdd_set_point;
    const int result = qelt_vdd_set(table, n);
    busy_wait_ticks(10);
    if (result != 0) {
        // A refused set point is not kept: other slices' VDD windows and the
        // configuration file are computed from the set point the rail has.
        slice.vdd_voltage = old_set_point;
        return false;
    }
    std::printf("VDD Value set to %0.2f V\n", slice.vdd_voltage);
    return true;
}

bool switch_ldos(qelt_slice *table, std::uint8_t n, const tool_options &opts)
{
    bool all_switched = true;
    for (const ldo_rail &rail : ldo_rails)
        all_switched &= switch_ldo(table, n, rail, opts.*rail.requested);
    // Also when VDD was already on: the tool always leaves it at the set point.
    if (table[n].vdd_on == 1)
        return set_vdd(table, n) && all_switched;
    return all_switched;
}

bool read_power(qelt_slice *table, std::uint8_t n)
{
    if (qelt_read_psu(table, n) != 0) {
        TOOL_ERROR("Slice %d : Power Rail Voltage/Current Readback Failed!!! \\n", n);
        return false;
    }
    const float *psu = table[n].psu;
    std::printf("Slice %d : VDD Power Rail Voltage/Current = %2.3fV | %2.3fA !\n", n, psu[1], psu[0]);
    std::printf("Slice %d : 3.0V Power Rail Voltage/Current = %2.3fV | %2.3fA !\n", n, psu[3], psu[2]);
    std::printf("Slice %d : 5.0V Power Rail Voltage/Current = %2.3fV | %2.3fA !\n", n, psu[5], psu[4]);
    return true;
}

void ensure_eeprom_page_size(qelt_slice &slice)
{
    // The configuration file does not keep it, and only detection sets it.
    if (slice.eeprom_page_size == 0)
        slice.eeprom_page_size = default_eeprom_page_size;
}

run_flow write_eeprom(run_state &run, std::uint8_t n, const char *path)
{
    qelt_slice *table = run.table;
    qelt_slice &slice = table[n];
    const auto count = load_eeprom_file(path, slice.eeprom, slice_ending);
    if (!count)
        return run_flow::stop_failure;
    slice.eeprom_len = static_cast<std::uint32_t>(*count);
    ensure_eeprom_page_size(slice);
    const bool written = qelt_eeprom_write(table, n) == 0;
    if (!written)
        TOOL_ERROR("Slice %d : EEPROM Flash Write Failure !!!", n);
    else
        std::printf("Slice %d : EEPROM Flash Write Successful with %d Bytes\n", n, static_cast<int>(*count));
    run.attempted(written);
    return run_flow::next;
}

run_flow read_eeprom(run_state &run, std::uint8_t n, const char *path)
{
    qelt_slice *table = run.table;
    std::FILE *file = create_eeprom_file(path, slice_ending);
    if (file == nullptr)
        return run_flow::stop_failure;
    qelt_slice &slice = table[n];
    ensure_eeprom_page_size(slice);
    if (qelt_eeprom_read(table, n) != 0) {
        TOOL_ERROR("Slice %d: EEPROM Flash Read Failure !!!", n);
        std::fclose(file);
        run.attempted(false);
        return run_flow::stop;
    }
    std::printf("Slice %d : EEPROM Flash Read Success with %d Bytes\n", n,
                static_cast<int>(slice.eeprom_len));
    // The library never reports more than the image holds; the bound keeps
    // a wrong length from reading past it all the same.
    const std::size_t stored = std::min<std::size_t>(slice.eeprom_len, sizeof slice.eeprom);
    if (!store_eeprom_file(file, path, std::span(slice.eeprom).first(stored)))
        return run_flow::stop_failure;
    return run_flow::next;
}

bool set_gpios(qelt_slice *table, std::uint8_t n, std::uint8_t bits)
{
    bool all_set = true;
    std::printf("Configure Slice %d GPIO(5:0) as 0x%x \n", n, bits);
    constexpr std::uint8_t drive_level = 0; // matrix type: drive the GPIO with the given level
    for (int gpio = 0; gpio < slice_gpio_count; ++gpio) {
        const auto level = static_cast<std::uint8_t>((bits >> gpio) & 1);
        if (qelt_slgpio_swmatrix(table, n, static_cast<std::uint8_t>(gpio), drive_level, level) != 0) {
            TOOL_ERROR("GPIO swmatrix for Slice %d not set correctly!!!", n);
            all_set = false;
        }
    }
    return all_set;
}

// The actions for one present slice, in their fixed order.
run_flow run_slice_actions(run_state &run, std::uint8_t n)
{
    const tool_options &opts = run.opts;
    qelt_slice *table = run.table;

    // Channel 2 names none: it keeps the readback out of the run, and the
    // command line refuses it together with a DSA value.
    if (opts.dsa_set) {
        run.attempted(write_dsa(table, n, opts.channel, opts.dsa_db));
    } else if (opts.channel <= 1) {
        run.action_done = true;
        show_dsa(table[n], n, opts.channel);
    }
    if (opts.temp_read)
        run.attempted(read_temperature(table, n));
    if (opts.ldo_set)
        run.attempted(switch_ldos(table, n, opts));
    if (opts.psu_mon)
        run.attempted(read_power(table, n));
    if (opts.write_path != nullptr) {
        run.action_done = true;
        if (const run_flow flow = write_eeprom(run, n, opts.write_path); flow != run_flow::next)
            return flow;
    }
    if (opts.read_path != nullptr) {
        run.action_done = true;
        if (const run_flow flow = read_eeprom(run, n, opts.read_path); flow != run_flow::next)
            return flow;
    }
    if (opts.gpio_set)
        run.attempted(set_gpios(table, n, opts.gpio_value));
    return run_flow::next;
}

} // namespace

run_flow run_slice_group(run_state &run)
{
    if (!run.state_loaded) {
        run.attempted(false);
        TOOL_ERROR("Please run SliceDet -> qelt-boardctl -d !!!");
        return run_flow::next;
    }
    const std::uint8_t n = run.opts.slice_num;
    // Every slice action needs a fitted slice; for an absent one they are
    // all skipped without a word.
    if (run.table[n].present == 0)
        return run_flow::next;
    return run_slice_actions(run, n);
}
