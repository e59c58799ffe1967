// The text commands as a remote host sees them: the built server on a
// simulated board, one client connection held for a whole test.
#include "server_sandbox.h"

#include <signal.h>

#include <algorithm>
#include <thread>

namespace qelt_test {
namespace {

constexpr const char *cfg_path = "/tmp/qelt-slice-cfg.bin";
constexpr std::uint64_t framesync_counter = 0xA0080004;

// Slices 3 and 6 fitted (6 carries a temperature sensor); the server up
// and one client connected.
class interpreter : public server_sandbox {
  protected:
    void SetUp() override
    {
        server_sandbox::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        board.set_fitted(6, true);
        board.reg(framesync_counter) = 1000;
        start_server();
        cmd.emplace();
    }

    std::optional<raw_client> cmd;
};

// A command and the reply it must get.
using exchange = std::pair<std::string, std::string>;

void run_table(raw_client &cmd, const std::vector<exchange> &rows)
{
    for (const auto &[text, reply] : rows)
        EXPECT_EQ(cmd.reply(text), reply) << text;
}

TEST_F(interpreter, EveryCommandAnswersWithItsValues)
{
    sim({"temperature", "6", "41.5"});
    sim({"current", "3", "vdd", "0.5"});
    sim({"voltage", "3", "5v0", "5.04"});
    sim({"voltage", "som", "5v0", "5.0"});
    sim({"som-config", "sku=QB-9", "serial=SN0042", "revision=B2", "date=70000", "mac=0a0b0c0d0e0f"});
    run_table(*cmd,
              {
                  {"qelt_sw_version", "cmd_status 2 version 1.3"},
                  {"qelt_init_boot 1", "cmd_status 2 slicepresence 72"},
                  {"qelt_dsa_write 3 1 0 12.5 0.25", "cmd_status 2"},
                  {"qelt_dsa_read 3 1 0", "cmd_status 2 dsa 12.50 dsastep 0.25"},
                  {"qelt_board_temperature 6", "cmd_status 2 temp 41.50"},
                  {"qelt_read_psu 3", "cmd_status 2 psu 0.500 0.000 0.000 0.000 0.000 5.040"},
                  {"qelt_vdd_set 3 5.0", "cmd_status 2"},
                  {"qelt_vdcdc_readback", "cmd_status 2 vdcdc 5.40"},
                  {"qelt_vdd_enable 3 0 0", "cmd_status 2 enable 0"},
                  {"qelt_vdd_enable 3 1 1", "cmd_status 2 enable 0"}, // readback only
                  {"qelt_v3p3_enable 3 1 0", "cmd_status 2 enable 1"},
                  {"qelt_v5p0_enable 3 0 0", "cmd_status 2 enable 0"},
                  {"qelt_eeprom_write 3 5 a b c", "cmd_status 2"},
                  {"qelt_eeprom_read 3", "cmd_status 2 data a b c"},
                  {"qelt_eeprom_clear 3", "cmd_status 2"},
                  {"qelt_bb_eeprom_write 4   x\nyz", "cmd_status 2"},
                  {"qelt_bb_eeprom_read", "cmd_status 2 data x\nyz"},
                  {"qelt_fbswitch_config 1 2 5", "cmd_status 2"},
                  {"qelt_psu_wa_levels 3 3000 3000 3000", "cmd_status 2"},
                  {"qelt_psu_ca_levels 3 3000 3000 3000", "cmd_status 2"},
                  {"qelt_interrupt_polling", "cmd_status 2 interrupt 0"},
                  {"qelt_psu_wa_levels 3 100 100 100", "cmd_status 2"},
                  {"qelt_interrupt_polling", "cmd_status 2 interrupt 8"},
                  {"qelt_framesync_delay 10", "cmd_status 2"},
                  {"qelt_framesync_count", "cmd_status 2 count 1000"},
                  {"qelt_system_call echo hi there", "cmd_status 2 resp hi there\n"},
                  // The text is the shell's whole command: a comment or a
                  // dangling "&&" in it cannot swallow where the output goes.
                  {"qelt_system_call echo second # a note", "cmd_status 2 resp second\n"},
                  {"qelt_system_call echo third &&", "cmd_status 2 resp "},
                  {"qelt_read_som_cfg", "cmd_status 2 somcfg {\"revision\":\"B2\",\"serial\":\"SN0042\","
                                        "\"sku\":\"QB-9\",\"date\":\"70000\",\"macid\":\"11042563100175\"}"},
                  {"qelt_read_som_psu", "cmd_status 2 psu 0.000 0.000 0.000 0.000 0.000 5.000"},
              });
    EXPECT_EQ(board.state().slices[3].dsa[1], 0x4C) << "code 50, bit-reversed";
    EXPECT_EQ(board.reg(control_reg) >> 8 & 0xFF, 0xAAu) << "GUI bit, ADC9 port 5, ADC8 port 2";
    EXPECT_EQ(board.reg(0xA0080000), 10u) << "frame-sync delay";
    EXPECT_NE(output().find("hwc: cmd = qelt_dsa_write 3 1 0 12.5 0.25\n"), std::string::npos);
}

// Refused requests: the failure reply (or the blank, for a word without
// the prefix), and not one bus transaction.
TEST_F(interpreter, RefusedRequestsTouchNothing)
{
    ASSERT_EQ(cmd->reply("qelt_init_boot 1"), "cmd_status 2 slicepresence 72");
    const std::vector<exchange> rows = {
        {"QELT_sw_version", " "},
        {" qelt_sw_version", " "},
        {"qelt_sw_version\n", "cmd_status -1"},
        {"qelt_unknown 1", "cmd_status -1"},
        {"qelt_" + std::string(27, 'x'), "cmd_status -1"},
        {"qelt_dsa_write 3 1 0 12.5", "cmd_status -1"},
        // Numbers beyond a byte name no slice, channel, stage or flag,
        // even though their low byte would (259 is 3 plus 256).
        {"qelt_dsa_write 259 1 0 12.5 0.25", "cmd_status -1"},
        {"qelt_dsa_write 3 257 0 12.5 0.25", "cmd_status -1"},
        {"qelt_vdd_enable 3 257 0", "cmd_status -1"},
        // ... nor do numbers beyond 32 or 64 bits (4294967299 is 3 plus 2^32).
        {"qelt_dsa_write 4294967299 1 0 12.5 0.25", "cmd_status -1"},
        {"qelt_eeprom_write 3 4294967297 a", "cmd_status -1"},
        {"qelt_read_psu 18446744073709551619", "cmd_status -1"},
        {"qelt_read_psu 262", "cmd_status -1"},
        {"qelt_eeprom_read 259", "cmd_status -1"},
        {"qelt_power_detect 259 0", "cmd_status -1"},
        {"qelt_dsa_read 3 0 2", "cmd_status -1"},
        {"qelt_board_temperature 9", "cmd_status -1"},
        {"qelt_power_detect 3 4", "cmd_status -1"},
        {"qelt_vdd_set 12 5.0", "cmd_status -1"},
        {"qelt_vdd_enable 9 1 0", "cmd_status -1"},
        {"qelt_eeprom_write 3 32769 a", "cmd_status -1"},
        {"qelt_eeprom_write 3 -1 abc", "cmd_status -1"},
        {"qelt_eeprom_write 3 6 abc", "cmd_status -1"},
        {"qelt_bb_eeprom_write 32769 a", "cmd_status -1"},
        {"qelt_bb_eeprom_write 4 abc", "cmd_status -1"},
        {"qelt_psu_wa_levels 9 1 2 3", "cmd_status -1"},
        {"qelt_system_call", "cmd_status -1"},
        {"qelt_system_call " + std::string(100, 'x'), "cmd_status -1"},
        {"qelt_system_call rm sysout.txt", "cmd_status -1"}, // no output to answer with
    };
    board.clear_trace();
    run_table(*cmd, rows);
    EXPECT_TRUE(board.trace().empty()) << board.trace().size() << " bus transactions";
    EXPECT_FALSE(output().find("hwc: cmd = QELT") != std::string::npos) << "traced without the prefix";
    // The longest shell text that fits still runs.
    EXPECT_EQ(cmd->reply("qelt_system_call printf " + std::string(92, 'y')),
              "cmd_status 2 resp " + std::string(92, 'y'));
    EXPECT_EQ(cmd->reply("qelt_system_call head -c 12000 /dev/zero | tr '\\0' z"),
              "cmd_status 2 resp " + std::string(10000, 'z'));
}

// Before any boot the EEPROM record has no chunk size yet (a slice known
// from the settings file only); a default one makes the commands work, as
// with the board control tool. A fresh boot then forgets the settings and
// any other boot restores them.
TEST_F(interpreter, SettingsFileAcrossBoots)
{
    write_file(cfg_path, "0,0,0,0,0,0,0,0,0,0,0,0\n0,0,0,0,0,0,0,0,0,0,0,0\n0,0,0,0,0,0,0,0,0,0,0,0\n"
                         "1,1,0,0.00,0.00,0.25,0.00,0.25,0.00,0.25,0.00,0.25,0.00,0.25,0.00,0.25,0.00,0.25,"
                         "0.00,0.25\n");
    run_table(*cmd, {
                        {"qelt_dsa_read 3 0 0", "cmd_status 2 dsa 0.00 dsastep 0.25"},
                        {"qelt_eeprom_write 3 4 abcd", "cmd_status 2"},
                        {"qelt_eeprom_read 3", "cmd_status 2 data abcd"},
                        {"qelt_init_boot 1", "cmd_status 2 slicepresence 72"},
                        {"qelt_dsa_write 6 2 1 7.5 0.5", "cmd_status 2"},
                        {"qelt_init_boot 0", "cmd_status 2 slicepresence 72"},
                        {"qelt_dsa_read 6 2 1", "cmd_status 2 dsa 7.50 dsastep 0.50"},
                        {"qelt_init_boot 1", "cmd_status 2 slicepresence 72"},
                    });
    bool exists = true;
    read_file(cfg_path, &exists);
    EXPECT_FALSE(exists) << "a fresh boot deletes the settings file";
    EXPECT_NE(cmd->reply("qelt_dsa_read 6 2 1"), "cmd_status 2 dsa 7.50 dsastep 0.50");
}

// "cmd_status 2 data " and 32749 bytes fill the reply buffer but for its
// terminator; one byte more is refused, not cut.
TEST_F(interpreter, DataTooLongForTheReplyIsRefusedNotCut)
{
    for (const int length : {32749, 32750}) {
        std::string image = {static_cast<char>(length >> 8), static_cast<char>(length & 0xFF)};
        write_file("/tmp/bb-image", image + std::string(length, 'd'));
        sim({"eeprom", "bb", "load", "/tmp/bb-image"});
        EXPECT_EQ(cmd->reply("qelt_bb_eeprom_read"),
                  length == 32749 ? "cmd_status 2 data " + std::string(length, 'd') : "cmd_status -1");
    }
}

// A setting made by one program is seen by the other, also when both
// change different slices at the same time.
TEST_F(interpreter, SettingsAreSharedWithTheBoardControlTool)
{
    ASSERT_EQ(cmd->reply("qelt_init_boot 1"), "cmd_status 2 slicepresence 72");
    ASSERT_EQ(cmd->reply("qelt_dsa_write 3 0 0 3.25 0.25"), "cmd_status 2");
    const run_result tool_set = run_boardctl({"-s", "6", "-c", "1", "-a", "9.5"});
    ASSERT_EQ(tool_set.status, 0) << tool_set.out;
    // The tool's DSA channel 1 is the server's channel 2.
    EXPECT_EQ(cmd->reply("qelt_dsa_read 6 2 0"), "cmd_status 2 dsa 9.50 dsastep 0.25");
    EXPECT_NE(run_boardctl({"-s", "3"}).out.find("[Chann = 0, Stage = 0] = 3.25 dB"), std::string::npos);

    std::thread tool([] {
        for (int i = 0; i < 10; ++i)
            run_boardctl({"-s", "6", "-n", std::to_string(i % 2 == 0 ? 7 : 3)});
    });
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(cmd->reply("qelt_dsa_write 3 0 0 " + std::to_string(i) + " 0.25"), "cmd_status 2");
    tool.join();
    EXPECT_EQ(cmd->reply("qelt_dsa_read 3 0 0"), "cmd_status 2 dsa 9.00 dsastep 0.25");
    EXPECT_EQ(cmd->reply("qelt_v3p3_enable 6 0 1"), "cmd_status 2 enable 1");
    EXPECT_EQ(cmd->reply("qelt_vdd_enable 6 0 1"), "cmd_status 2 enable 0")
        << "the tool's last change was lost";
    // A rail switch saves on top of what the tool saved before it.
    ASSERT_EQ(run_boardctl({"-s", "6", "-n", "4"}).status, 0);
    EXPECT_EQ(cmd->reply("qelt_v5p0_enable 6 1 0"), "cmd_status 2 enable 1");
    EXPECT_EQ(cmd->reply("qelt_vdd_enable 6 0 1"), "cmd_status 2 enable 1");
}

// Monitoring refreshes the readings in the background; while it runs,
// commands answer from them (so they still answer when the devices have
// stopped answering), and every command keeps its bus traffic apart from
// the passes.
TEST_F(interpreter, MonitoringRefreshesReadingsBesideCommands)
{
    board.set_fitted(8, true);
    run_table(*cmd, {
                        {"qelt_init_boot 1", "cmd_status 2 slicepresence 328"},
                        {"qelt_eeprom_write 6 8 monitors", "cmd_status 2"},
                        {"qelt_log_level_set 3", "cmd_status 2"},
                    });
    sim({"current", "3", "vdd", "0.75"});
    sim({"current", "8", "5v0", "0.125"});
    sim({"temperature", "6", "33"});
    ASSERT_EQ(cmd->reply("qelt_interrupt_task_start"), "cmd_status 2");
    board.clear_trace();
    // Commands on both buses while passes run, until a pass of each
    // routine has finished.
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!(printed("\"Exiting PSU routine\"", 0ms) && printed("\"Exiting TEMP routine\"", 0ms))) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no monitoring pass ended";
        ASSERT_EQ(cmd->reply("qelt_eeprom_read 6"), "cmd_status 2 data monitors");
        ASSERT_EQ(cmd->reply("qelt_dsa_write 6 0 1 2.5 0.5"), "cmd_status 2");
    }
    EXPECT_TRUE(std::ranges::all_of(board.trace(), [](const qsim::trace_entry &e) { return e.ok != 0; }))
        << "a command and a pass interleaved on the board";

    sim({"fault", "i2c-nack", "0", "0x40"}); // every rail monitor
    sim({"fault", "i2c-nack", "1", "0x48"}); // every temperature sensor
    EXPECT_EQ(cmd->reply("qelt_read_psu 3"), "cmd_status 2 psu 0.750 0.000 0.000 0.000 0.000 0.000");
    EXPECT_EQ(cmd->reply("qelt_read_psu 8"), "cmd_status 2 psu 0.000 0.000 0.000 0.000 0.125 0.000");
    EXPECT_EQ(cmd->reply("qelt_board_temperature 6"), "cmd_status 2 temp 33.00");
    ASSERT_EQ(cmd->reply("qelt_interrupt_task_stop"), "cmd_status 2");
    EXPECT_EQ(cmd->reply("qelt_read_psu 3"), "cmd_status -1") << "the hardware is read again";
    EXPECT_EQ(cmd->reply("qelt_board_temperature 6"), "cmd_status -1");
}

// A shell command that never ends holds only its own client: monitoring
// goes on beside it, and a stop signal ends the command with the server.
TEST_F(interpreter, HangingShellCommandEndsWithTheServer)
{
    run_table(*cmd,
              {{"qelt_log_level_set 3", "cmd_status 2"}, {"qelt_interrupt_task_start", "cmd_status 2"}});
    cmd->send_words(command_request("qelt_system_call sleep 97 & echo $! > sleep.pid; wait"));
    EXPECT_TRUE(printed("\"Exiting PSU routine\"", 60s)) << "monitoring waited for the shell command";
    signal_server(SIGTERM);
    EXPECT_EQ(wait_exit(), 0) << output();
    EXPECT_FALSE(led0_lit());
    // The command's own children are gone too (or left for their parent
    // to reap).
    const std::string stat = "/proc/" + std::to_string(std::stoi(read_file("/tmp/sleep.pid"))) + "/stat";
    const auto dead = [&] {
        const std::string s = read_file(stat);
        return s.empty() || s.find(") Z ") != std::string::npos;
    };
    EXPECT_TRUE(eventually(dead, 30s)) << read_file(stat);
}

// The host-side client's summary while monitoring runs: only the fitted
// slices, their settings and fresh readings, and monitoring still on after.
TEST_F(interpreter, ClientStatusSummarisesTheBoard)
{
    sim({"current", "3", "vdd", "0.25"});
    sim({"voltage", "3", "vdd", "6.0"});
    sim({"temperature", "6", "41.5"});
    run_table(*cmd, {
                        {"qelt_init_boot 1", "cmd_status 2 slicepresence 72"},
                        {"qelt_dsa_write 3 1 0 12.5 0.25", "cmd_status 2"},
                        {"qelt_vdd_enable 3 1 0", "cmd_status 2 enable 1"},
                        {"qelt_vdd_set 3 6.0", "cmd_status 2"},
                        {"qelt_psu_wa_levels 3 100 100 100", "cmd_status 2"},
                        {"qelt_interrupt_task_start", "cmd_status 2"},
                    });
    cmd.reset(); // the server serves one client at a time
    const run_result status =
        run_program({"python3", "-m", "qelt_client", "--host", "127.0.0.1", "--timeout", "10", "status"},
                    {"LD_PRELOAD=", std::string("PYTHONPATH=") + QELT_SOURCE_DIR + "/clients/python"});
    EXPECT_EQ(status.status, 0) << status.err;
    EXPECT_EQ(status.out, "software 1.3   monitoring on   VDCDC 6.40 V\n"
                          "present slices: 3 6 (mask 0x048)   alerts: 3 (mask 0x008)\n"
                          "\n"
                          "slice  VDD                  3.3 V                5.0 V                temp\n"
                          "    3  on   6.000 V 0.250 A  on   0.000 V 0.000 A  off  0.000 V 0.000 A\n"
                          "    6  off  0.000 V 0.000 A  on   0.000 V 0.000 A  off  0.000 V 0.000 A  41.50 C\n"
                          "\n"
                          "slice  attenuators in dB, stage 0/1\n"
                          "    3  ch0 31.75/31.75  ch1 12.50/31.75  ch2 31.75/31.75  ch3 31.75/31.75\n"
                          "    6  ch0 31.75/31.75  ch1 31.75/31.75  ch2 31.75/31.75  ch3 31.75/31.75\n");
    cmd.emplace();
    EXPECT_EQ(cmd->reply("qelt_board_temperature 0"), "cmd_status 2 temp 0.00") << "monitoring left off";
}

} // namespace
} // namespace qelt_test
