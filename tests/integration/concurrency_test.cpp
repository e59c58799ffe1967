// One board, many callers: threads of one process and several processes
// drive the simulated board at once, and none may see or change another
// caller's slice.
#include "bus_checks.h"

#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <set>

namespace {

using namespace qelt_test;

class Concurrency : public board_test<3, 6> {
  protected:
    Concurrency()
    {
        board.state().slices[3].rails.reg[2] = 10000; // VDD bus voltage: 10 V
        board.state().slices[6].rails.reg[2] = 5000;
    }
    void SetUp() override { qelt_log_level = 1; }

    // How many of `rounds` rail readings of `slice` gave that slice's VDD.
    int correct_readings(std::uint8_t slice, float volts, int rounds)
    {
        int correct = 0;
        for (int i = 0; i < rounds; ++i)
            correct += qelt_read_psu(table.data(), slice) == 0 && table[slice].psu[1] == volts;
        return correct;
    }
};

TEST_F(Concurrency, ThreadsReadingTwoSlicesEachGetTheirOwnRails)
{
    auto other = std::async(std::launch::async, [&] { return correct_readings(6, 5.0f, 150); });
    const int mine = correct_readings(3, 10.0f, 150);
    EXPECT_EQ(mine + other.get(), 300);
}

// The tool in another process and this process's own calls at the same
// time: from one process's opening of a device to its closing, the other
// process must not touch the board.
TEST_F(Concurrency, ProcessesNeverInterleaveTheirBusTraffic)
{
    ASSERT_EQ(run_boardctl({"-d"}).status, 0);
    board.clear_trace();
    // Slice 6 also reads its temperature sensor behind the slice select.
    auto tool_runs = std::async(std::launch::async, [] {
        int ok = 0;
        for (int i = 0; i < 4; ++i)
            ok += run_boardctl({"-s", "6", "-c", "2", "-p", "-t"}).status == 0;
        return ok;
    });
    while (tool_runs.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        EXPECT_EQ(correct_readings(3, 10.0f, 1), 1);
    EXPECT_EQ(tool_runs.get(), 4);

    std::map<int, int> open_handles; // per process
    std::map<int, std::set<int>> slices_answering;
    for (const qsim::trace_entry &e : board.trace()) {
        for (const auto &[pid, open] : open_handles)
            ASSERT_TRUE(pid == e.pid || open == 0)
                << "process " << e.pid << " ran inside " << pid << "'s access";
        if (e.kind == qsim::trace_kind::open && e.ok)
            ++open_handles[e.pid];
        else if (e.kind == qsim::trace_kind::close)
            --open_handles[e.pid];
        if (e.device == qsim::device_kind::monitor || e.device == qsim::device_kind::sensor)
            slices_answering[e.pid].insert(e.slice);
    }
    EXPECT_EQ(slices_answering[getpid()], std::set<int>{3});
    ASSERT_EQ(slices_answering.size(), 5u); // one process per tool run
    for (const auto &[pid, slices] : slices_answering)
        EXPECT_EQ(slices.size(), 1u) << "process " << pid << " read another slice's devices";
}

// Two programs changing different slices at the same time: each update
// holds the file from load to save, so neither change is lost.
TEST_F(Concurrency, SimultaneousSettingsOfTwoSlicesBothReachTheFile)
{
    ASSERT_EQ(run_boardctl({"-d"}).status, 0);
    auto set_dsa = [](const std::string &slice, const std::string &db) {
        return run_boardctl({"-s", slice, "-a", db}).status;
    };
    for (int round = 1; round <= 8; ++round) {
        const std::string db3 = std::to_string(round), db6 = std::to_string(round + 10);
        auto other = std::async(std::launch::async, set_dsa, "6", db6);
        ASSERT_EQ(set_dsa("3", db3), 0);
        ASSERT_EQ(other.get(), 0);
        // Slice rows start "1,1,2,0.00," then channel 0's value.
        std::istringstream rows(read_file("/tmp/qelt-slice-cfg.bin"));
        std::vector<std::string> row(7);
        for (std::string &r : row)
            std::getline(rows, r);
        EXPECT_TRUE(row[3].starts_with("1,1,2,0.00," + db3 + ".00,")) << row[3];
        EXPECT_TRUE(row[6].starts_with("1,1,2,0.00," + db6 + ".00,")) << row[6];
    }
}

// On a read-only /tmp neither lock file can be created: the failure is
// reported once and the board stays usable.
TEST_F(Concurrency, ReadOnlyTmpIsReportedAndTheOperationStillRuns)
{
    ASSERT_EQ(qelt_read_psu(table.data(), 3), 0); // the board file is mapped from here on
    ASSERT_EQ(unlink("/tmp/qelt-board.lock"), 0);
    const std::string out = capture_stdout([&] {
        // A read-only bind over /tmp: what is open or mapped stays writable.
        ASSERT_EQ(mount("/tmp", "/tmp", nullptr, MS_BIND, nullptr), 0) << std::strerror(errno);
        ASSERT_EQ(mount(nullptr, "/tmp", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0);
        EXPECT_EQ(qelt_read_psu(table.data(), 6), 0);
        EXPECT_EQ(qelt_read_psu(table.data(), 3), 0);
        umount("/tmp");
    });
    EXPECT_TRUE(table[6].psu[1] == 5.0f && table[3].psu[1] == 10.0f);
    EXPECT_TRUE(std::regex_match(out, std::regex("Error : board_lock\\(\\d+\\) :\"Unable to open board lock "
                                                 "/tmp/qelt-board.lock \\(Read-only file system\\), "
                                                 "going on without it\"\n")))
        << out;
}

} // namespace
