// Checks shared by the per-slice operations.
#pragma once

#include "log.h"

#include <qelt/qelt.h>

#include <cstdint>

namespace qelt {

// The slice table has nine records: a larger number is refused before any
// record or per-slice register is touched.
bool slice_index_ok(site where, std::uint8_t slice);

// A fitted slice, or an information line "Slice %d not found!".
bool slice_fitted(site where, const qelt_slice *table, std::uint8_t slice);

} // namespace qelt
