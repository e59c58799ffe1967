// Global actions: slice detection (-d), interrupt status (-i) and the
// software version (-v).
#pragma once

#include "run_state.h"

void detect_slices(run_state &run);
void show_interrupt_status(run_state &run);
void show_version(run_state &run);
