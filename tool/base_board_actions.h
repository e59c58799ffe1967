// Actions of the base-board group (-b).
#pragma once

#include "run_state.h"

run_flow run_base_board_group(run_state &run);
