// qelt-boardctl: one-shot board control from the SOM's command line. Runs
// every action the options select, once, in a fixed order, and keeps the
// slice configuration file up to date.
#include "base_board_actions.h"
#include "board_actions.h"
#include "options.h"
#include "run_state.h"
#include "slice_actions.h"
#include "slice_cfg.h"
#include "som_actions.h"

#include <qelt/qelt.h>

int main(int argc, char **argv)
{
    qelt_slice table[QELT_SLICE_COUNT] = {};
    qelt_log_level = 1;
    const tool_options opts = scan_options(argc, argv);

    run_state run(opts, table);
    // The library cannot read DSA or rail settings back from the hardware;
    // they come from the file the last run of either program left. The
    // server may change it meanwhile: hold the file from load to save.
    const slice_cfg::update_lock cfg_lock;
    if (slice_cfg::exists()) {
        slice_cfg::sync_file(table);
        run.state_loaded = true;
    }

    if (opts.som_group)
        run_som_group(run);
    if (opts.base_board_group) {
        if (const run_flow flow = run_base_board_group(run); flow != run_flow::next)
            return run.exit_status(flow);
    }
    if (opts.slice_det)
        detect_slices(run);
    if (opts.slice_group) {
        if (const run_flow flow = run_slice_group(run); flow != run_flow::next)
            return run.exit_status(flow);
    }
    if (opts.intr_status)
        show_interrupt_status(run);
    if (opts.version_show)
        show_version(run);

    if (run.state_loaded)
        slice_cfg::create_file(table);
    if (!run.action_done)
        show_usage(argv[0]);
    return run.exit_status(run_flow::next);
}
