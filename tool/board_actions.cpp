#include "board_actions.h"

#include "slice_cfg.h"
#include "tool_log.h"

#include <cstdio>

void detect_slices(run_state &run)
{
    // Slices restored from the configuration file come back initialised,
    // so the boot pass keeps their settings. It reports its own failures.
    run.attempted(qelt_init_boot(run.table) == 0);
    std::printf("Starting Slice Detection...\n");
    for (int n = 0; n < QELT_SLICE_COUNT; ++n)
        std::printf("Slice %d : %s\n", n, run.table[n].present != 0 ? "ON" : "OFF");
    if (!run.state_loaded) {
        // Written at once, so that the detected slices are on file even
        // when a later action ends the run early; from here on the end of
        // the run writes it back as well.
        slice_cfg::create_file(run.table);
        run.state_loaded = true;
    }
}

void show_interrupt_status(run_state &run)
{
    if (!run.state_loaded) {
        run.attempted(false);
        TOOL_ERROR("Please run SliceDet -> qelt-boardctl -d !!!");
        return;
    }
    if (qelt_detect_intr(run.table) != 0) {
        run.attempted(false);
        TOOL_ERROR("PSU Interrupt Detection Failure!!!");
        return;
    }
    unsigned mask = 0;
    for (int n = 0; n < QELT_SLICE_COUNT; ++n)
        mask |= static_cast<unsigned>(run.table[n].psu_alert != 0) << n;
    std::printf("PSU Interrupt Status = 0x%x\n", mask);
    // Reports each alert, and its own failures.
    run.attempted(qelt_intr_parse(run.table) == 0);
}

void show_version(run_state &run)
{
    std::uint8_t version[2] = {}; // [0] minor, [1] major
    const bool read = qelt_read_sw_version(version) == 0;
    if (read)
        std::printf("QELT SW Version : %hhu.%hhu\n", version[1], version[0]);
    run.attempted(read);
}
