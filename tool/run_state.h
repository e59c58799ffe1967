// What one run of the tool works on and how an action lets it go on.
#pragma once

#include "options.h"

#include <qelt/qelt.h>

// After an action: go on with the next one, or end the run at once. An
// early end skips every later action and the write-back of the slice
// configuration file.
enum class run_flow {
    next,
    stop_success, // exit status 0
    stop_failure, // exit status 1
};

struct run_state {
    run_state(const tool_options &o, qelt_slice *t) : opts(o), table(t) {}

    const tool_options &opts;
    qelt_slice *table; // QELT_SLICE_COUNT records, owned by main
    // The slice table holds real settings: the configuration file was
    // loaded or slice detection ran. Only then do slice actions run and is
    // the file written back.
    bool state_loaded = false;
    // Some action was attempted; a run without one ends with the usage.
    bool action_done = false;
};
