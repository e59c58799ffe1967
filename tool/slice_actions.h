// Actions of the slice group (-s N).
#pragma once

#include "run_state.h"

// Runs the selected actions for slice opts.slice_num, or reports that no
// slice state is loaded yet.
run_flow run_slice_group(run_state &run);
