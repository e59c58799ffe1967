// A board snapshot in the Prometheus text exposition format.
#pragma once

#include "board_pass.h"

#include <string>

// Every family with its HELP and TYPE lines; a family whose readings all
// failed is left out whole.
std::string exposition(const board_snapshot &snap);
