// A failing library call under every text command, through the running
// server. The library's own tests put every fault in every operation's
// way; here each command meets one that makes its call fail, so that the
// server's side of a failure shows: the reply, the server's descriptors as
// they were, every device node and page it took given back, LED 1 out,
// and the slice configuration file not rewritten.
#include "server_sandbox.h"

#include "bus_checks.h"
#include "models.h"

#include <filesystem>

namespace qelt_test {
namespace {

constexpr const char *cfg_path = "/tmp/qelt-slice-cfg.bin";

const std::string failed = "cmd_status -1";
const std::string presence = "cmd_status 2 slicepresence 72"; // slices 3 and 6

const qsim::fault absent = nack(qsim::fault_any, qsim::fault_any); // no device answers
const qsim::fault unmappable = qsim::make_fault(qsim::fault_kind::mem_map);
const qsim::fault spidev_refusing = qsim::make_fault(qsim::fault_kind::spi_xfer);

struct cell {
    std::string command;
    qsim::fault fault;
    std::string reply;
};

const cell matrix[] = {
    {"qelt_dsa_write 3 1 0 12.5 0.25", unmappable, failed},
    {"qelt_dsa_write 3 1 0 12.5 0.25", spidev_refusing, failed},
    {"qelt_board_temperature 6", absent, failed},
    {"qelt_read_psu 3", absent, failed},
    {"qelt_vdd_set 3 5.0", absent, "cmd_status 301"},
    {"qelt_vdd_enable 3 1 0", absent, failed},
    {"qelt_v3p3_enable 3 1 0", absent, failed},
    {"qelt_v5p0_enable 3 1 0", absent, failed},
    {"qelt_eeprom_write 3 2 ab", absent, failed},
    {"qelt_eeprom_read 3", absent, failed},
    {"qelt_bb_eeprom_write 2 ab", absent, failed},
    {"qelt_bb_eeprom_read", absent, failed},
    {"qelt_fbswitch_config 1 0 1", unmappable, failed},
    {"qelt_interrupt_polling", absent, failed},
    {"qelt_psu_wa_levels 3 1 2 3", absent, failed},
    {"qelt_psu_ca_levels 3 1 2 3", absent, failed},
    {"qelt_framesync_delay 10", unmappable, failed},
    // Never fails: an unreachable counter reads 1.
    {"qelt_framesync_count", unmappable, "cmd_status 2 count 1"},
    {"qelt_read_som_cfg", absent, failed},
    {"qelt_read_som_psu", absent, failed},
    // The boot goes on past every failure and keeps the presence it had.
    {"qelt_init_boot 0", absent, presence},
};

class fault_matrix : public server_sandbox {
  protected:
    void SetUp() override
    {
        server_sandbox::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        board.set_fitted(6, true);
        start_server();
    }

    long server_descriptors()
    {
        return std::distance(
            std::filesystem::directory_iterator("/proc/" + std::to_string(server_pid()) + "/fd"), {});
    }
};

TEST_F(fault_matrix, EveryCommandWhoseLibraryCallFails)
{
    raw_client client;
    ASSERT_EQ(client.reply("qelt_init_boot 1"), presence);
    ASSERT_EQ(client.reply("qelt_dsa_write 3 1 0 4 0.5"), "cmd_status 2");
    // Slice 3 draws more than its warning limit: polling goes on to the bus.
    sim({"current", "3", "vdd", "0.5"});
    ASSERT_EQ(client.reply("qelt_psu_wa_levels 3 100 100 100"), "cmd_status 2");
    ASSERT_EQ(client.reply("qelt_interrupt_polling"), "cmd_status 2 interrupt 8");
    const std::string settings = read_file(cfg_path);
    const long descriptors = server_descriptors();

    for (const cell &c : matrix) {
        SCOPED_TRACE(c.command);
        board.clear_trace();
        board.inject(c.fault);
        EXPECT_EQ(client.reply(c.command), c.reply);
        sim({"fault", "clear"});
        EXPECT_EQ(server_descriptors(), descriptors) << "descriptor left open";
        EXPECT_TRUE(released(board));
        EXPECT_EQ(read_file(cfg_path), settings) << "a failed command rewrote the settings";
    }
    // A write-protected part acknowledges and drops the data: success.
    sim({"eeprom", "slice:3", "protect", "on"});
    sim({"eeprom", "bb", "protect", "on"});
    EXPECT_EQ(client.reply("qelt_eeprom_write 3 2 ab"), "cmd_status 2");
    EXPECT_EQ(client.reply("qelt_bb_eeprom_write 2 ab"), "cmd_status 2");
    // A failed write keeps its values only in memory: the file brings back
    // the last ones that reached the board.
    EXPECT_EQ(client.reply("qelt_dsa_read 3 1 0"), "cmd_status 2 dsa 4.00 dsastep 0.50");
}

} // namespace
} // namespace qelt_test
