// What a library call left on the simulated board (the I2C messages in
// order, whether every device it opened was released again), the faults
// that can be put in its way, and a board with a slice table to call with.
#pragma once

#include "models.h"
#include "sim_fixture.h"

#include <qelt/qelt.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iomanip>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace qelt_test {

inline constexpr std::uint32_t led1_bit = 1u << 1;

using bytes = std::vector<std::uint8_t>;

// Device `addr` on `bus` does not acknowledge the matching transfers
// (ops: qsim::op_read, qsim::op_write, 0 for both) after `skip` of them.
inline qsim::fault nack(int bus, int addr, std::uint8_t ops = 0, int skip = 0, int count = -1)
{
    return {qsim::fault_kind::i2c_nack, std::uint8_t(bus), std::uint8_t(addr), ops, skip, count, 0, {}};
}

// I2C_SLAVE_FORCE for `addr` on `bus` is refused after `skip` selections.
inline qsim::fault refuse_select(int bus, int addr, int skip = 0)
{
    return {qsim::fault_kind::i2c_select, std::uint8_t(bus), std::uint8_t(addr), 0, skip, -1, 0, {}};
}

// One mapping of a GPIO page, after `skip` others, is refused. An operation
// that selects a slice maps LED 1's page first, then the slice select's.
inline qsim::fault refuse_mapping(int skip = 0)
{
    return {qsim::fault_kind::mem_map, qsim::fault_any, qsim::fault_any, 0, skip, 1, 0, {}};
}

// A board with slots `fitted` and a slice table in which they are present;
// everything is logged during the test, and nothing in the next one.
template <int... fitted> class board_test : public ::testing::Test {
  protected:
    board_test() { ((table[fitted].present = 1), ...); }
    void SetUp() override { qelt_log_level = 3; }
    void TearDown() override { qelt_log_level = 0; }

    sim_board board{fitted...};
    std::vector<qelt_slice> table = std::vector<qelt_slice>(QELT_SLICE_COUNT);
};

struct i2c_message {
    bool write;
    std::uint8_t addr;
    bytes data;             // written bytes, or the bytes read when acknowledged
    std::uint32_t pause_us; // what the caller slept right after it
};

// Messages on one bus, to one address or (addr < 0) to any.
inline std::vector<i2c_message> i2c_messages(sim_board &board, int bus, int addr = -1)
{
    std::vector<i2c_message> out;
    for (const auto &e : board.trace()) {
        const bool write = e.kind == qsim::trace_kind::i2c_write;
        if ((write || e.kind == qsim::trace_kind::i2c_read) && e.bus == bus && (addr < 0 || e.addr == addr))
            out.push_back({write, e.addr, bytes(e.data, e.data + std::min<std::size_t>(e.len, sizeof e.data)),
                           e.pause_us});
    }
    return out;
}

// The payloads written to one device, acknowledged or not.
inline std::vector<bytes> writes_to(sim_board &board, int bus, int addr)
{
    std::vector<bytes> out;
    for (const auto &m : i2c_messages(board, bus, addr))
        if (m.write)
            out.push_back(m.data);
    return out;
}

// Every node opened and every page mapped since the trace was cleared was
// released again, and the bus activity LED is out.
inline ::testing::AssertionResult released(sim_board &board)
{
    int open = 0;
    int mapped = 0;
    for (const auto &e : board.trace()) {
        open += (e.kind == qsim::trace_kind::open && e.ok) - (e.kind == qsim::trace_kind::close);
        mapped += (e.kind == qsim::trace_kind::mem_map && e.ok) - (e.kind == qsim::trace_kind::mem_unmap);
    }
    const bool lit = (board.reg(control_reg) & led1_bit) != 0;
    if (open == 0 && mapped == 0 && !lit)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << open << " node(s) left open, " << mapped << " page(s) left mapped"
                                         << (lit ? ", LED 1 lit" : "");
}

// Nothing at all was opened: the call was refused before any access.
inline bool untouched(sim_board &board) { return board.trace().empty(); }

// A captured output holds `text`; on failure the whole output is shown.
inline ::testing::AssertionResult has(const std::string &out, const std::string &text)
{
    if (out.find(text) != std::string::npos)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no \"" << text << "\" in:\n" << out;
}

// What a library call printed, with the source line of every log head shown
// as #; its result must be `result`.
template <typename Fn, typename... Args> std::string printed(int result, Fn fn, Args... args)
{
    static const std::regex head(R"(\(\d+\) :)");
    return std::regex_replace(capture_stdout([&] { EXPECT_EQ(fn(args...), result); }), head, "(#) :");
}

} // namespace qelt_test
