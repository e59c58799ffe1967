// The built library exports exactly its C interface under its soname.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <memory>
#include <set>
#include <sstream>
#include <string>

namespace {

std::string output_of(const std::string &command)
{
    std::unique_ptr<FILE, int (*)(FILE *)> pipe(popen(command.c_str(), "r"), pclose);
    std::string text;
    std::array<char, 4096> buf{};
    std::size_t n;
    while (pipe && (n = fread(buf.data(), 1, buf.size(), pipe.get())) > 0)
        text.append(buf.data(), n);
    return text;
}

const std::set<std::string> interface = {
    "qelt_log_level",
    "ina3221_wa_levels",
    "ina3221_ca_levels",
    "qelt_read_sw_version",
    "hex_dump",
    "dump_buff",
    "qelt_i2c_init",
    "qelt_i2c_devselect",
    "qelt_i2c_write",
    "qelt_i2c_read",
    "qelt_i2c_mux_enable",
    "qelt_i2c_close",
    "qelt_spidev_init",
    "qelt_spidev_transfer",
    "qelt_spidev_close",
    "qelt_dsa_write",
    "qelt_gpio_open",
    "qelt_gpio_read",
    "qelt_gpio_write",
    "qelt_gpio_close",
    "qelt_framecount_readback",
    "qelt_framesync_delay",
    "qelt_fb_switch",
    "qelt_slgpio_swmatrix",
    "qelt_led_status",
    "qelt_led_set",
    "qelt_led_clear",
    "qelt_led_toggle",
    "qelt_eeprom_read",
    "qelt_eeprom_write",
    "qelt_eeprom_clear",
    "qelt_bb_eeprom_read",
    "qelt_bb_eeprom_write",
    "qelt_setup_vdcdc",
    "qelt_vdd_enable",
    "qelt_v5p0_enable",
    "qelt_v3p3_enable",
    "qelt_vdd_set",
    "qelt_read_psu",
    "qelt_read_som_psu",
    "qelt_cfg_slice_psu",
    "qelt_detect_intr",
    "qelt_psu_intr_detect",
    "qelt_intr_parse",
    "qelt_init_boot",
    "qelt_power_detect",
    "qelt_board_temperature",
    "qelt_som_config_read",
};

TEST(Exports, OnlyTheCInterfaceIsVisible)
{
    // Defined dynamic symbols, without the version node itself.
    const std::string listing =
        output_of(std::string("nm -D --defined-only --format=posix ") + QELT_LIBRARY + " 2>&1");
    std::set<std::string> exported;
    std::istringstream lines(listing);
    std::string name, type;
    while (lines >> name >> type) {
        std::string rest;
        std::getline(lines, rest);
        if (type != "A")
            exported.insert(name.substr(0, name.find('@')));
    }
    EXPECT_EQ(exported, interface);
}

TEST(Exports, SonameIsLibqeltSo11)
{
    const std::string dynamic = output_of(std::string("readelf -d ") + QELT_LIBRARY);
    EXPECT_NE(dynamic.find("Library soname: [libqelt.so.1.1]"), std::string::npos) << dynamic;
}

} // namespace
