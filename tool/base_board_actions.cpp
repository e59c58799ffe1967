#include "base_board_actions.h"

#include "eeprom_files.h"
#include "tool_log.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace {

// Large enough for any data file the tool accepts and for anything the
// base-board EEPROM can hold.
using eeprom_buffer = std::array<std::uint8_t, QELT_EEPROM_IMAGE_SIZE>;

run_flow write_eeprom(run_state &run, const char *path, eeprom_buffer &buffer)
{
    const auto count = load_eeprom_file(path, buffer, base_board_ending);
    if (!count)
        return run_flow::stop_failure;
    const bool written = qelt_bb_eeprom_write(buffer.data(), static_cast<std::uint32_t>(*count)) == 0;
    if (!written)
        TOOL_ERROR("Base-Board EEPROM Flash Write Failure !!! \\n");
    else
        std::printf("Base-Board EEPROM Flash Write Successful with %d Bytes\n", static_cast<int>(*count));
    run.attempted(written);
    return run_flow::next;
}

run_flow read_eeprom(run_state &run, const char *path, eeprom_buffer &buffer)
{
    std::FILE *file = create_eeprom_file(path, base_board_ending);
    if (file == nullptr)
        return run_flow::stop_failure;
    int size = 0;
    if (qelt_bb_eeprom_read(buffer.data(), &size) != 0) {
        TOOL_ERROR("Base-Board EEPROM Flash Read Failure!!! \\n");
        std::fclose(file);
        run.attempted(false);
        return run_flow::stop;
    }
    std::printf("Base-Board EEPROM Flash Read Success with %d Bytes\n", size);
    // The library never reports more than the device holds; the bound keeps
    // a wrong count from reading past the buffer all the same.
    const std::size_t stored = std::min(static_cast<std::size_t>(std::max(size, 0)), buffer.size());
    if (!store_eeprom_file(file, path, std::span(buffer).first(stored)))
        return run_flow::stop_failure;
    return run_flow::next;
}

bool set_feedback_switch(qelt_slice *table, std::uint8_t value)
{
    // Bit 7 hands the switch to the GUI, bits 5..3 and 2..0 pick the ports
    // of ADC9 and ADC8; bit 6 has no meaning.
    const std::uint8_t gui = (value >> 7) & 1;
    const std::uint8_t adc9 = (value >> 3) & 7;
    const std::uint8_t adc8 = value & 7;
    std::printf("Configure FB Switch with gui_fb_en = %d, adc9val = 0x%x, adc8val = 0x%x\n", gui, adc9, adc8);
    if (qelt_fb_switch(table, gui, adc8, adc9) != 0) {
        TOOL_ERROR("FB Switch Configuration Failure!!! \\n");
        return false;
    }
    return true;
}

} // namespace

run_flow run_base_board_group(run_state &run)
{
    const tool_options &opts = run.opts;
    eeprom_buffer buffer{};
    if (opts.write_path != nullptr) {
        run.action_done = true;
        if (const run_flow flow = write_eeprom(run, opts.write_path, buffer); flow != run_flow::next)
            return flow;
    }
    if (opts.read_path != nullptr) {
        run.action_done = true;
        if (const run_flow flow = read_eeprom(run, opts.read_path, buffer); flow != run_flow::next)
            return flow;
    }
    if (opts.fbsw_set)
        run.attempted(set_feedback_switch(run.table, opts.fbsw_value));
    return run_flow::next;
}
