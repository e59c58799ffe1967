// qelt-metrics on the simulated board: what it reports, that it only reads,
// and how failures show.
#include "bus_checks.h"

#include <unistd.h>

#include <filesystem>

namespace {

using namespace qelt_test;

run_result metrics(const std::vector<std::string> &args = {})
{
    std::vector<std::string> argv{QELT_METRICS};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv);
}

// Slice 3 below its VDD limit, slice 6 above its own (alert line low); the
// file holds slice 3's settings, attenuations beyond the range among them
// and one whose step the library refuses. The metrics go to a file.
TEST(Metrics, ReportsTheBoardAndStoredSettingsAndOnlyReads)
{
    sim_board board{3, 6};
    qsim::board &b = board.state();
    b.slices[3].rails.reg[1] = 3600; // 0.36 A
    b.slices[3].rails.reg[2] = 6000; // 6 V
    b.slices[3].rails.reg[8] = 7000; // 0.7 A
    b.slices[6].rails.reg[1] = 2000;
    b.slices[6].rails.reg[8] = 1000;
    b.som_monitor.reg[2] = 5000;
    board.refresh();
    std::string cfg;
    for (int slice = 0; slice < 9; ++slice)
        cfg += slice != 3
                   ? "0,0,0,0,0,0,0,0,0,0,0,0\n"
                   : "1,1,5,6.00,99.00,0.25,-3.00,0.25,12.50,0.25,12.50,0.00,1,0.25,1,0.25,1,0.25,1,0.25\n";
    write_file("/tmp/qelt-slice-cfg.bin", cfg += "6.40");
    std::filesystem::create_directory("/tmp/textfile");
    board.clear_trace();

    ASSERT_EQ(metrics({"--output", "/tmp/textfile/qelt.prom"}).status, 0);
    const std::string out = read_file("/tmp/textfile/qelt.prom");
    for (const char *line : {"# TYPE qelt_rail_current_amperes gauge\n",
                             "qelt_info{version=\"1.3\"} 1\n",
                             "qelt_slice_present{slice=\"0\"} 0\n",
                             "qelt_slice_present{slice=\"3\"} 1\n",
                             "qelt_rail_alert{slice=\"3\"} 0\n",
                             "qelt_rail_alert{slice=\"6\"} 1\n",
                             "qelt_rail_current_amperes{slice=\"3\",rail=\"vdd\"} 0.36\n",
                             "qelt_rail_voltage_volts{slice=\"3\",rail=\"vdd\"} 6\n",
                             "qelt_rail_current_warning_amperes{slice=\"3\",rail=\"vdd\"} 0.7\n",
                             "qelt_rail_current_warning_amperes{slice=\"3\",rail=\"5v0\"} 6.552\n",
                             "qelt_board_temperature_celsius{slice=\"6\"} 25\n",
                             "qelt_rail_enabled{slice=\"3\",rail=\"vdd\"} 1\n",
                             "qelt_rail_enabled{slice=\"3\",rail=\"3v3\"} 0\n",
                             "qelt_vdd_setpoint_volts{slice=\"3\"} 6\n",
                             "qelt_attenuation_db{slice=\"3\",channel=\"0\",stage=\"0\"} 31.75\n",
                             "qelt_attenuation_db{slice=\"3\",channel=\"0\",stage=\"1\"} 0\n",
                             "qelt_attenuation_db{slice=\"3\",channel=\"1\",stage=\"0\"} 12.5\n",
                             "qelt_vdcdc_setpoint_volts 6.4\n",
                             "qelt_som_rail_voltage_volts{rail=\"5v0\"} 5\n",
                             "qelt_interrupt_pending 1\n",
                             "qelt_metrics_read_failures 0\n"})
        EXPECT_TRUE(has(out, line));
    for (const char *absent : {"{slice=\"0\",rail", "qelt_board_temperature_celsius{slice=\"3\"",
                               "channel=\"1\",stage=\"1\"", "qelt_rail_enabled{slice=\"6\""})
        EXPECT_EQ(out.find(absent), std::string::npos) << absent;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator("/tmp/textfile"), {}), 1)
        << "a file left beside";

    // Writes to the slices' expanders and monitors only point at a register.
    for (const qsim::trace_entry &e : board.trace()) {
        EXPECT_NE(e.kind, qsim::trace_kind::spi_transfer);
        EXPECT_NE(e.device, qsim::device_kind::vdcdc);
        const bool slice_device =
            e.device == qsim::device_kind::expander || e.device == qsim::device_kind::monitor;
        if (e.kind == qsim::trace_kind::i2c_write && slice_device && e.slice >= 0) {
            EXPECT_EQ(e.len, 1) << "write #" << e.seq;
        }
    }
    EXPECT_TRUE(released(board));
    EXPECT_EQ(read_file("/tmp/qelt-slice-cfg.bin"), cfg);
    EXPECT_NE(access("/tmp/qelt-slice-cfg.lock", F_OK), 0) << "the settings' update lock file was created";

    const run_result lint =
        run_program({"sh", "-c", "promtool check metrics < /tmp/textfile/qelt.prom"}, {"LD_PRELOAD="});
    if (lint.status == 127)
        GTEST_SKIP() << "promtool is not installed (Debian package prometheus)";
    EXPECT_EQ(lint.status, 0);
    EXPECT_EQ(lint.out + lint.err, "");
}

// A reading that fails is counted and its series left out, and the run
// still succeeds; a command line or an output that cannot be used ends it
// with status 1.
TEST(Metrics, FailuresShowInTheMetricsOrTheExitStatus)
{
    struct row {
        std::function<void(sim_board &)> fault;
        const char *failures;
        std::vector<const char *> kept, absent;
    };
    for (const row &row : std::vector<row>{
             {[](sim_board &b) { b.inject(nack(0, 0x40)); }, // every monitor silent
              "5",
              {"qelt_rail_alert{slice=\"3\"} 0", "qelt_board_temperature_celsius{slice=\"6\"}"},
              {"qelt_rail_current", "qelt_rail_voltage", "qelt_som_rail"}},
             {[](sim_board &b) { b.inject(nack(0, 0x20, qsim::op_read, 3, 1)); }, // slice 3's expander
              "1",
              {"qelt_slice_present{slice=\"4\"} 0", "{slice=\"6\",rail=\"vdd\"}"},
              {"slice=\"3\""}},
             {[](sim_board &b) { b.fail_open("/dev/mem"); },
              "2",
              {"{slice=\"6\",rail=\"vdd\"}"},
              {"qelt_interrupt_pending", "qelt_board_temperature"}},
         }) {
        sim_board board{3, 6};
        row.fault(board);
        const run_result r = metrics();
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.find("Error"), std::string::npos) << "the library's report among the metrics";
        EXPECT_TRUE(has(r.out, std::string("qelt_metrics_read_failures ") + row.failures + "\n"));
        for (const char *text : row.kept)
            EXPECT_TRUE(has(r.out, text));
        for (const char *text : row.absent)
            EXPECT_EQ(r.out.find(text), std::string::npos) << text;
    }

    sim_board board{3};
    std::filesystem::create_directory("/tmp/textfile");
    for (const std::vector<std::string> &args :
         std::vector<std::vector<std::string>>{{"--output", "/tmp/textfile"},
                                               {"--output", "/tmp/none/qelt.prom"},
                                               {"--output"},
                                               {"--bogus"},
                                               {"extra"}})
        EXPECT_EQ(metrics(args).status, 1) << args[0] << " " << args.back();
    for (const auto &e : std::filesystem::directory_iterator("/tmp"))
        EXPECT_EQ(e.path().filename().string().find("textfile."), std::string::npos)
            << "a temporary file left";
    EXPECT_TRUE(has(metrics({"--help"}).out, "usage: qelt-metrics"));
    const std::vector<std::string> env{std::string("LD_PRELOAD=") + QELT_SIM_PRELOAD};
    EXPECT_EQ(wait_status(spawn_program({QELT_METRICS}, env, "/dev/full", "/dev/null")), 1) << "a full disk";
}

} // namespace
