// What one run of the tool works on and how an action lets it go on.
#pragma once

#include "options.h"

#include <qelt/qelt.h>

// After an action: go on with the next one, or end the run at once. An
// early end skips every later action and the write-back of the slice
// configuration file.
enum class run_flow {
    next,
    stop,         // a device could not be read: its contents would be lost
    stop_failure, // a data file named on the command line cannot be used
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
    // Some action did not do what was asked: a board operation failed, or
    // the slice state it needs was not there.
    bool action_failed = false;

    void attempted(bool succeeded)
    {
        action_done = true;
        if (!succeeded)
            action_failed = true;
    }

    // 1: the command line could not be carried out (the usage, a refused
    // number, a data file that cannot be used). 2: it was, but some board
    // work it asked for failed; the error lines say which.
    int exit_status(run_flow flow) const
    {
        if (flow == run_flow::stop_failure)
            return 1;
        return action_failed ? 2 : 0;
    }
};
