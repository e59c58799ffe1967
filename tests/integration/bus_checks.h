// What a library call left on the simulated buses: the I2C messages in
// order, and whether every device it opened was released again.
#pragma once

#include "models.h"
#include "sim_fixture.h"

#include <qelt/qelt.h>

#include <algorithm>
#include <cstdint>
#include <regex>
#include <string>
#include <vector>

namespace qelt_test {

inline constexpr std::uint64_t control_reg = 0xA0050000;
inline constexpr std::uint32_t led1_bit = 1u << 1;

using bytes = std::vector<std::uint8_t>;

struct i2c_message {
    bool write;
    bool acked;
    std::uint8_t addr;
    bytes data;             // written bytes, or the bytes read when acknowledged
    std::uint32_t pause_us; // what the caller slept right after it
};

inline qsim::fault i2c_fault(qsim::fault_kind kind, int bus, int addr, int skip, int count)
{
    qsim::fault f = qsim::make_fault(kind);
    f.bus = static_cast<std::uint8_t>(bus);
    f.addr = static_cast<std::uint8_t>(addr);
    f.skip = skip;
    f.count = count;
    return f;
}

// Device `addr` on `bus` does not acknowledge the matching transfers
// (ops: qsim::op_read, qsim::op_write, 0 for both) after `skip` of them.
inline qsim::fault nack(int bus, int addr, std::uint8_t ops = 0, int skip = 0, int count = -1)
{
    qsim::fault f = i2c_fault(qsim::fault_kind::i2c_nack, bus, addr, skip, count);
    f.ops = ops;
    return f;
}

// I2C_SLAVE_FORCE for `addr` on `bus` is refused after `skip` selections.
inline qsim::fault refuse_select(int bus, int addr, int skip = 0, int count = -1)
{
    return i2c_fault(qsim::fault_kind::i2c_select, bus, addr, skip, count);
}

// The next operation of `kind` (a mapping, an SPI set-up step or transfer)
// is refused, whichever device it is for.
inline qsim::fault refuse_once(qsim::fault_kind kind)
{
    qsim::fault f = qsim::make_fault(kind);
    f.count = 1;
    return f;
}

// Logs everything during the test, and nothing in the next one.
class logged_test : public ::testing::Test {
  protected:
    void SetUp() override { qelt_log_level = 3; }
    void TearDown() override { qelt_log_level = 0; }
};

// The slice select block, the page mapped after LED 1's, cannot be mapped.
inline qsim::fault select_mapping_refused()
{
    qsim::fault f = refuse_once(qsim::fault_kind::mem_map);
    f.skip = 1;
    return f;
}

// Messages on one bus, to one address or (addr < 0) to any.
inline std::vector<i2c_message> i2c_messages(sim_board &board, int bus, int addr = -1)
{
    std::vector<i2c_message> out;
    for (const auto &e : board.trace()) {
        if (e.kind != qsim::trace_kind::i2c_write && e.kind != qsim::trace_kind::i2c_read)
            continue;
        if (e.bus != bus || (addr >= 0 && e.addr != addr))
            continue;
        const std::size_t n = std::min<std::size_t>(e.len, sizeof e.data);
        out.push_back({e.kind == qsim::trace_kind::i2c_write, e.ok != 0, e.addr, bytes(e.data, e.data + n),
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

inline std::size_t reads_from(sim_board &board, int bus, int addr)
{
    std::size_t n = 0;
    for (const auto &m : i2c_messages(board, bus, addr))
        n += m.write ? 0 : 1;
    return n;
}

// Every node opened and every page mapped since the trace was cleared was
// released again, and the bus activity LED is out.
inline ::testing::AssertionResult released(sim_board &board)
{
    int open = 0;
    int mapped = 0;
    for (const auto &e : board.trace()) {
        if (e.kind == qsim::trace_kind::open && e.ok)
            ++open;
        if (e.kind == qsim::trace_kind::close)
            --open;
        if (e.kind == qsim::trace_kind::mem_map && e.ok)
            ++mapped;
        if (e.kind == qsim::trace_kind::mem_unmap)
            --mapped;
    }
    if (open != 0)
        return ::testing::AssertionFailure() << open << " device node(s) left open";
    if (mapped != 0)
        return ::testing::AssertionFailure() << mapped << " page(s) left mapped";
    if (board.reg(control_reg) & led1_bit)
        return ::testing::AssertionFailure() << "LED 1 still lit";
    return ::testing::AssertionSuccess();
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
