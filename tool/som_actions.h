// Actions of the SOM group (-y).
#pragma once

#include "run_state.h"

void run_som_group(run_state &run);
