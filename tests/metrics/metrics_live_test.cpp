// qelt-metrics beside the running server and the board control tool, and
// read through the real node_exporter and Prometheus, each test in a
// network namespace of its own.
#include "server_sandbox.h"

#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <future>
#include <regex>

namespace qelt_test {
namespace {

using metrics_live = server_sandbox;

// The server's monitoring passes, the tool and the metrics at once: every
// transfer to a slice's expander or monitor comes from the process that
// set the multiplexer last.
TEST_F(metrics_live, NeverInterleavesWithTheServerOrTheTool)
{
    board.set_fitted(6, true);
    start_server();
    raw_client cmd;
    for (const char *text : {"qelt_init_boot 1", "qelt_log_level_set 3", "qelt_interrupt_task_start"})
        ASSERT_EQ(cmd.reply(text).rfind("cmd_status 2", 0), 0u) << text;
    ASSERT_EQ(run_boardctl({"-d"}).status, 0); // the tool's slice actions need its settings file
    board.clear_trace();
    std::atomic<bool> done{false};
    auto tool = std::async(std::launch::async, [&done] {
        std::string failed;
        while (!done)
            if (const run_result r = run_boardctl({"-s", "6", "-c", "2", "-p", "-t"}); r.status != 0)
                failed = r.out;
        return failed;
    });
    // Until a pass of each monitoring routine has ended, or a run fails.
    std::string failed;
    for (int runs = 0; runs < 200 && failed.empty() &&
                       !(printed("\"Exiting PSU routine\"", 0ms) && printed("\"Exiting TEMP routine\"", 0ms));
         ++runs) {
        const run_result r = run_program({QELT_METRICS});
        if (r.status != 0 || r.out.find("qelt_metrics_read_failures 0\n") == std::string::npos)
            failed = r.out + r.err;
    }
    done = true;
    EXPECT_EQ(tool.get(), "");
    ASSERT_EQ(failed, "");

    int mux_owner = 0;
    for (const qsim::trace_entry &e : board.trace()) {
        if ((e.kind != qsim::trace_kind::i2c_write && e.kind != qsim::trace_kind::i2c_read) || e.bus != 0)
            continue;
        if (e.device == qsim::device_kind::mux) {
            mux_owner = e.pid;
        } else if (mux_owner != 0 && (e.addr == 0x20 || e.addr == 0x40)) {
            ASSERT_EQ(e.pid, mux_owner) << "transfer #" << e.seq << " under another's multiplexer setting";
        }
    }
}

// Asks Prometheus's query API until the answer holds `wanted`.
bool answers(const std::string &promql, const std::string &wanted)
{
    const char *get = "import sys, urllib.parse, urllib.request as r\n"
                      "print(r.urlopen('http://127.0.0.1:9090/api/v1/query?query=' + "
                      "urllib.parse.quote(sys.argv[1])).read())";
    return eventually(
        [&] {
            return run_program({"python3", "-c", get, promql}, {"LD_PRELOAD="}).out.find(wanted) !=
                   std::string::npos;
        },
        90s, 200ms);
}

// The reading and the over-current alert, end to end: the textfile, the
// real node_exporter, the real Prometheus scraping every second and
// evaluating the shipped rules (their conditions held for a second only).
TEST_F(metrics_live, PrometheusSeesTheReadingAndTheOverCurrentAlert)
{
    for (const std::string program : {"prometheus", "prometheus-node-exporter"})
        if (run_program({"sh", "-c", "command -v " + program}, {"LD_PRELOAD="}).status != 0)
            GTEST_SKIP() << program
                         << " is not installed (Debian packages prometheus, prometheus-node-exporter)";
    const std::string dir = "/tmp/prometheus", textfile = dir + "/textfile";
    mkdir(dir.c_str(), 0755);
    mkdir(textfile.c_str(), 0755);
    qsim::monitor &vdd = board.state().slices[3].rails;
    vdd.reg[1] = 3600; // 0.36 A
    vdd.reg[8] = 7000; // limit 0.7 A
    ASSERT_EQ(run_program({QELT_METRICS, "--output", textfile + "/qelt.prom"}).status, 0);
    write_file(dir + "/rules.yml",
               std::regex_replace(read_file(QELT_ALERT_RULES), std::regex("for: \\w+"), "for: 1s"));
    write_file(dir + "/prometheus.yml",
               "global: {scrape_interval: 1s, evaluation_interval: 1s}\n"
               "rule_files: [rules.yml]\n"
               "scrape_configs: [{job_name: node, static_configs: [{targets: ['127.0.0.1:9100']}]}]\n");
    const background_program exporter({"prometheus-node-exporter", "--web.listen-address=127.0.0.1:9100",
                                       "--collector.disable-defaults", "--collector.textfile",
                                       "--collector.textfile.directory=" + textfile},
                                      {"LD_PRELOAD="});
    const background_program prometheus({"prometheus", "--config.file=" + dir + "/prometheus.yml",
                                         "--storage.tsdb.path=" + dir + "/data",
                                         "--web.listen-address=127.0.0.1:9090"},
                                        {"LD_PRELOAD="});
    const auto log = [&] { return exporter.output() + prometheus.output(); };

    ASSERT_TRUE(answers("qelt_rail_current_amperes{slice=\"3\",rail=\"vdd\"}", "\"0.36\"")) << log();
    vdd.reg[1] = 7200; // 0.72 A
    board.refresh();
    ASSERT_EQ(run_program({QELT_METRICS, "--output", textfile + "/qelt.prom"}).status, 0);
    EXPECT_TRUE(
        answers("ALERTS{alertname=\"QeltRailOverCurrent\",alertstate=\"firing\",slice=\"3\",rail=\"vdd\"}",
                "\"alertstate\":\"firing\""))
        << log();
}

} // namespace
} // namespace qelt_test
