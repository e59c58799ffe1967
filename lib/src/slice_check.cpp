#include "slice_check.h"

#include "board_map.h"

namespace qelt {

bool slice_index_ok(site where, std::uint8_t slice)
{
    if (slice <= map::max_slice)
        return true;
    log_error(where, "Slice %d is out of range(0..%d)!", slice, map::max_slice);
    return false;
}

bool slice_fitted(site where, const qelt_slice *table, std::uint8_t slice)
{
    if (table[slice].present != 0)
        return true;
    log_info(where, "Slice %d not found!", slice);
    return false;
}

} // namespace qelt
