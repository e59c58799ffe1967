#include "som_actions.h"

#include "som_date.h"
#include "tool_log.h"

#include <cstdio>

namespace {

unsigned long long mac_address(const std::uint8_t (&macid)[6])
{
    unsigned long long value = 0;
    for (const std::uint8_t byte : macid)
        value = (value << 8) | byte; // first byte most significant
    return value;
}

// The text fields carry no terminator when full, so every print is bounded
// by the field's size as well as by a zero byte.
template <std::size_t N> int field_width(const char (&)[N]) { return static_cast<int>(N); }

bool show_som_config(qelt_som &som)
{
    if (qelt_som_config_read(&som) != 0)
        return false; // the library has reported why
    std::printf("SOM Board Config:\n");
    std::printf("Revision : %.*s\n", field_width(som.revision), som.revision);
    std::printf("SKU : %.*s\n", field_width(som.sku), som.sku);
    std::printf("Serial Number : %.*s\n", field_width(som.serial), som.serial);
    std::printf("MFG Date : %s", som_date_text(som_date_minutes(som.date)).c_str());
    std::printf("MAC ID : %012llx\n", mac_address(som.macid));
    return true;
}

bool show_som_power(qelt_som &som)
{
    if (qelt_read_som_psu(&som) != 0) {
        TOOL_ERROR("SOM : Power Rail Voltage/Current Readback Failed!!! \\n");
        return false;
    }
    std::printf("SOM : 5.0V Power Rail Voltage/Current = %2.3fV | %2.3fA !\n", som.psu[1], som.psu[0]);
    return true;
}

} // namespace

void run_som_group(run_state &run)
{
    qelt_som som{};
    if (run.opts.somcfg_show)
        run.attempted(show_som_config(som));
    if (run.opts.psu_mon)
        run.attempted(show_som_power(som));
}
