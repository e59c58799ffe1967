#include "i2c_pauses.h"

#include <cstdio>
#include <cstdlib>

namespace bench {
namespace {

bool paused(const qsim::trace_entry &e)
{
    if (e.kind != qsim::trace_kind::i2c_write && e.kind != qsim::trace_kind::i2c_read)
        return false;
    return !(e.bus == 0 && (e.addr == 0x76 || e.addr == 0x77));
}

} // namespace

std::vector<useconds_t> pauses_of(qsim::board_map &board)
{
    qsim::board_lock hold(board.state());
    const qsim::board &b = board.state();
    if (b.trace_total > qsim::trace_capacity) {
        std::fprintf(stderr, "trace overflowed; pauses cannot be counted\n");
        std::exit(2);
    }
    std::vector<useconds_t> out;
    for (std::uint64_t i = 0; i < b.trace_total; ++i)
        if (paused(b.trace[i]))
            out.push_back(b.trace[i].len > 4 ? 6000 : 500);
    return out;
}

double replay(const std::vector<useconds_t> &pauses)
{
    const auto start = std::chrono::steady_clock::now();
    for (const useconds_t us : pauses)
        usleep(us);
    return seconds_since(start);
}

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace bench
