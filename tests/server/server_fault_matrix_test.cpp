// Every device fault the simulator can inject against every text command
// that meets it, through the running server: the reply, the server's
// descriptors as they were, every device node and page it took given back,
// LED 1 out, and the slice configuration file not rewritten by a command
// that failed.
#include "server_sandbox.h"

#include "bus_checks.h"
#include "models.h"

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace qelt_test {
namespace {

constexpr const char *cfg_path = "/tmp/qelt-slice-cfg.bin";

// Each fault hits every device of its kind, so a command meets it at its
// first access.
enum class fault { absent, nack_write, nack_read, no_bus, write_protected, unmappable, spidev_refused };

const char *name_of(fault f)
{
    static const char *const names[] = {"devices absent",    "NACK on write",           "NACK on read",
                                        "bus nodes missing", "EEPROMs write-protected", "/dev/mem unmappable",
                                        "spidev refusing"};
    return names[static_cast<int>(f)];
}

constexpr std::initializer_list<fault> i2c_faults = {fault::absent, fault::nack_write, fault::nack_read,
                                                     fault::no_bus};
constexpr std::initializer_list<fault> i2c_write_faults = {fault::absent, fault::nack_write, fault::no_bus};

struct row {
    std::string command;
    std::string reply;
    std::vector<fault> faults;
};

const std::string failed = "cmd_status -1";
const std::string presence = "cmd_status 2 slicepresence 72"; // slices 3 and 6

// A fault that never meets a command (a NACK on read for one that only
// writes) has no cell.
const row matrix[] = {
    {"qelt_dsa_write 3 1 0 12.5 0.25", failed, {fault::unmappable, fault::spidev_refused}},
    {"qelt_board_temperature 6",
     failed,
     {fault::absent, fault::nack_write, fault::nack_read, fault::no_bus, fault::unmappable}},
    {"qelt_read_psu 3", failed, i2c_faults},
    {"qelt_vdd_set 3 5.0", "cmd_status 301", i2c_faults},
    {"qelt_vdd_enable 3 1 0", failed, i2c_faults},
    {"qelt_v3p3_enable 3 1 0", failed, i2c_faults},
    {"qelt_v5p0_enable 3 1 0", failed, i2c_faults},
    {"qelt_eeprom_write 3 2 ab",
     failed,
     {fault::absent, fault::nack_write, fault::no_bus, fault::unmappable}},
    // The part acknowledges and drops the data.
    {"qelt_eeprom_write 3 2 ab", "cmd_status 2", {fault::write_protected}},
    {"qelt_eeprom_read 3",
     failed,
     {fault::absent, fault::nack_write, fault::nack_read, fault::no_bus, fault::unmappable}},
    {"qelt_bb_eeprom_write 2 ab", failed, i2c_write_faults},
    {"qelt_bb_eeprom_write 2 ab", "cmd_status 2", {fault::write_protected}},
    {"qelt_bb_eeprom_read", failed, i2c_faults},
    {"qelt_fbswitch_config 1 0 1", failed, {fault::unmappable}},
    {"qelt_interrupt_polling",
     failed,
     {fault::absent, fault::nack_write, fault::nack_read, fault::no_bus, fault::unmappable}},
    {"qelt_psu_wa_levels 3 1 2 3", failed, i2c_faults},
    {"qelt_psu_ca_levels 3 1 2 3", failed, i2c_faults},
    {"qelt_framesync_delay 10", failed, {fault::unmappable}},
    // Never fails: an unreachable counter reads 1.
    {"qelt_framesync_count", "cmd_status 2 count 1", {fault::unmappable}},
    {"qelt_read_som_cfg", failed, i2c_faults},
    {"qelt_read_som_psu", failed, i2c_faults},
    // The boot goes on past every failure and keeps the presence it had.
    {"qelt_init_boot 0",
     presence,
     {fault::absent, fault::nack_write, fault::nack_read, fault::no_bus, fault::unmappable}},
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

    void put(fault f)
    {
        qsim::fault every = qsim::make_fault(qsim::fault_kind::i2c_nack);
        switch (f) {
        case fault::absent:
            return board.inject(every);
        case fault::nack_write:
            every.ops = qsim::op_write;
            return board.inject(every);
        case fault::nack_read:
            every.ops = qsim::op_read;
            return board.inject(every);
        case fault::no_bus:
            board.fail_open("/dev/i2c-0");
            return board.fail_open("/dev/i2c-1");
        case fault::write_protected:
            return protect_eeproms(1);
        case fault::unmappable:
            return board.inject(qsim::make_fault(qsim::fault_kind::mem_map));
        case fault::spidev_refused:
            return board.inject(qsim::make_fault(qsim::fault_kind::spi_xfer));
        }
    }

    void clear_faults()
    {
        qsim::board_lock hold(board.state());
        std::memset(board.state().faults, 0, sizeof board.state().faults);
        protect_eeproms(0);
    }

    void protect_eeproms(std::uint8_t on)
    {
        board.state().bb_eeprom.write_protect = on;
        for (qsim::slice_slot &s : board.state().slices)
            s.storage.write_protect = on;
    }

    int server_descriptors()
    {
        int n = 0;
        for ([[maybe_unused]] const auto &entry :
             std::filesystem::directory_iterator("/proc/" + std::to_string(server_pid()) + "/fd"))
            ++n;
        return n;
    }
};

TEST_F(fault_matrix, EveryFaultAgainstEveryCommandThatMeetsIt)
{
    raw_client client;
    ASSERT_TRUE(client.connected());
    ASSERT_EQ(client.reply("qelt_init_boot 1"), presence);
    ASSERT_EQ(client.reply("qelt_dsa_write 3 1 0 4 0.5"), "cmd_status 2");
    // Slice 3 draws more than its warning limit: polling goes on to the bus.
    {
        qsim::board_lock hold(board.state());
        board.state().slices[3].rails.reg[1] = 0x7FF8;
    }
    board.refresh();
    ASSERT_EQ(client.reply("qelt_interrupt_polling"), "cmd_status 2 interrupt 8");
    const std::string settings = read_file(cfg_path);
    const int descriptors = server_descriptors();

    for (const row &r : matrix) {
        for (const fault f : r.faults) {
            SCOPED_TRACE(r.command + " with " + name_of(f));
            board.clear_trace();
            put(f);
            EXPECT_EQ(client.reply(r.command), r.reply);
            clear_faults();
            EXPECT_EQ(server_descriptors(), descriptors) << "descriptor left open";
            EXPECT_TRUE(released(board));
            EXPECT_EQ(read_file(cfg_path), settings) << "a failed command rewrote the settings";
        }
    }
    // A failed write keeps its values only in memory: the file brings back
    // the last ones that reached the board.
    EXPECT_EQ(client.reply("qelt_dsa_read 3 1 0"), "cmd_status 2 dsa 4.00 dsastep 0.50");
}

} // namespace
} // namespace qelt_test
