// Slice and base-board EEPROM transfers against the simulated 24xx parts:
// what lands in the device, how it is chunked on the bus, and what is
// refused before any transfer.
#include "bus_checks.h"

#include <qelt/qelt.h>

#include <algorithm>
#include <cstring>
#include <ostream>
#include <vector>

namespace {

using namespace qelt_test;

constexpr std::uint8_t slice_eeprom = 0x54;
constexpr std::uint8_t bb_eeprom = 0x51;
constexpr std::uint64_t slice_select = 0xA0070000;

struct chunk {
    std::uint32_t address;
    std::uint32_t len;
    bool operator==(const chunk &) const = default;
};

std::ostream &operator<<(std::ostream &os, const chunk &c)
{
    return os << "{" << c.address << ", " << c.len << "}";
}

// Chunks of a transfer of n data bytes plus the header, from address 0.
std::vector<chunk> chunks_of(std::size_t n, std::uint32_t size)
{
    std::vector<chunk> out;
    const auto total = static_cast<std::uint32_t>(n + 2);
    for (std::uint32_t a = 0; a < total; a += size)
        out.push_back({a, std::min(size, total - a)});
    return out;
}

// Messages to the device as chunks: a write's address and data length, or
// a read's length with the address written just before it.
std::vector<chunk> chunks_on_bus(sim_board &board, int bus, int addr, bool reads)
{
    std::vector<chunk> out;
    std::uint32_t address = 0;
    for (const auto &m : i2c_messages(board, bus, addr)) {
        if (m.write)
            address = (m.data.at(0) << 8) | m.data.at(1);
        if (m.write != reads)
            out.push_back({address, static_cast<std::uint32_t>(reads ? m.data.size() : m.data.size() - 2)});
    }
    return out;
}

// Bytes that differ at every position of a page, so that a chunk placed at
// the wrong offset shows.
std::vector<std::uint8_t> pattern(std::size_t n, std::uint32_t seed)
{
    std::vector<std::uint8_t> v(n);
    for (auto &b : v) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(seed >> 16);
    }
    return v;
}

bool has(const std::string &out, const std::string &text) { return out.find(text) != std::string::npos; }

class Eeprom : public ::testing::Test {
  protected:
    void SetUp() override
    {
        qelt_log_level = 1;
        for (int s : {3, 5}) {
            table[s].present = 1;
            table[s].eeprom_page_size = 64;
        }
    }
    void TearDown() override { qelt_log_level = 0; }

    qsim::eeprom &device(int slice) { return board.state().slices[slice].storage; }
    qsim::eeprom &base_board() { return board.state().bb_eeprom; }

    static void store(qsim::eeprom &e, const std::vector<std::uint8_t> &data, std::uint16_t header)
    {
        e.mem[0] = static_cast<std::uint8_t>(header >> 8);
        e.mem[1] = static_cast<std::uint8_t>(header);
        std::copy(data.begin(), data.end(), e.mem + 2);
    }

    // The device holds exactly the header and the data.
    static bool holds(const qsim::eeprom &e, const std::vector<std::uint8_t> &data)
    {
        return e.mem[0] == (data.size() >> 8) && e.mem[1] == (data.size() & 0xFF) &&
               std::memcmp(e.mem + 2, data.data(), data.size()) == 0;
    }

    // Write, then read back into a cleared record, slice 5.
    void slice_round_trip(std::size_t n)
    {
        SCOPED_TRACE(n);
        const auto data = pattern(n, static_cast<std::uint32_t>(n));
        std::memcpy(table[5].eeprom, data.data(), n);
        table[5].eeprom_len = static_cast<std::uint32_t>(n);
        board.clear_trace();
        ASSERT_EQ(qelt_eeprom_write(table.data(), 5), 0);
        EXPECT_TRUE(holds(device(5), data));
        EXPECT_EQ(board.reg(slice_select), 0x20u);
        EXPECT_EQ(chunks_on_bus(board, 1, slice_eeprom, false), chunks_of(n, 64));

        std::memset(table[5].eeprom, 0, n);
        table[5].eeprom_len = 0;
        board.clear_trace();
        ASSERT_EQ(qelt_eeprom_read(table.data(), 5), 0);
        EXPECT_EQ(table[5].eeprom_len, n);
        EXPECT_EQ(std::memcmp(table[5].eeprom, data.data(), n), 0);
        auto expected = chunks_of(n, 64);
        expected.insert(expected.begin(), {0, 2}); // the header alone first
        EXPECT_EQ(chunks_on_bus(board, 1, slice_eeprom, true), expected);
        EXPECT_TRUE(released(board));
    }

    void bb_round_trip(std::size_t n)
    {
        SCOPED_TRACE(n);
        const auto data = pattern(n, static_cast<std::uint32_t>(n) + 1);
        board.clear_trace();
        ASSERT_EQ(qelt_bb_eeprom_write(data.data(), static_cast<std::uint32_t>(n)), 0);
        EXPECT_TRUE(holds(base_board(), data));
        EXPECT_EQ(chunks_on_bus(board, 0, bb_eeprom, false), chunks_of(n, 32));

        std::vector<std::uint8_t> back(32765, 0);
        int len = -1;
        board.clear_trace();
        ASSERT_EQ(qelt_bb_eeprom_read(back.data(), &len), 0);
        EXPECT_EQ(len, static_cast<int>(n));
        EXPECT_EQ(std::memcmp(back.data(), data.data(), n), 0);
        auto expected = chunks_of(n, 32);
        expected.insert(expected.begin(), {0, 2});
        EXPECT_EQ(chunks_on_bus(board, 0, bb_eeprom, true), expected);
        // The base-board EEPROM sits in front of the slice multiplexer.
        EXPECT_TRUE(i2c_messages(board, 0, 0x76).empty());
        EXPECT_TRUE(released(board));
    }

    sim_board board{3, 5};
    std::vector<qelt_slice> table = std::vector<qelt_slice>(QELT_SLICE_COUNT);
};

TEST_F(Eeprom, SliceRoundTripsInPageChunks)
{
    for (std::size_t n : {2, 5, 128, 32765})
        slice_round_trip(n);
}

TEST_F(Eeprom, BaseBoardRoundTripsInThirtyTwoByteChunks)
{
    for (std::size_t n : {2, 5, 128, 32765})
        bb_round_trip(n);
}

TEST_F(Eeprom, ChunksSmallerThanTheHeaderStillPlaceEveryByte)
{
    const auto data = pattern(9, 1);
    for (std::uint8_t page : {1, 3}) {
        SCOPED_TRACE(static_cast<int>(page));
        table[3].eeprom_page_size = page;
        std::memcpy(table[3].eeprom, data.data(), data.size());
        table[3].eeprom_len = 9;
        table[3].v3p3_on = 0x5A; // the field right in front of the image
        ASSERT_EQ(qelt_eeprom_write(table.data(), 3), 0);
        EXPECT_TRUE(holds(device(3), data));
        std::memset(table[3].eeprom, 0, data.size());
        ASSERT_EQ(qelt_eeprom_read(table.data(), 3), 0);
        EXPECT_EQ(std::memcmp(table[3].eeprom, data.data(), data.size()), 0);
        EXPECT_EQ(table[3].v3p3_on, 0x5A);
    }
}

TEST_F(Eeprom, UnreadableHeadersAreRejected)
{
    // A fresh board's parts are erased: 0xFFFF, shown as 1 byte to read.
    std::string out = capture_stdout([&] { EXPECT_EQ(qelt_eeprom_read(table.data(), 3), 1); });
    EXPECT_EQ(out.find("Error : qelt_eeprom_read("), 0u);
    EXPECT_TRUE(has(out,
                    ":\"Error reading EEPROM, please check write protect and ensure EEPROM is written\"\n"
                    "Error : qelt_eeprom_read("));
    EXPECT_TRUE(out.ends_with(":\"Bytes to read from EEPROM is 1\"\n")) << out;

    // An empty write leaves a header that a later read rejects.
    table[3].eeprom_len = 0;
    board.clear_trace();
    ASSERT_EQ(qelt_eeprom_write(table.data(), 3), 0);
    EXPECT_EQ(chunks_on_bus(board, 1, slice_eeprom, false), chunks_of(0, 64));
    table[3].eeprom_len = 77;
    out = capture_stdout([&] { EXPECT_EQ(qelt_eeprom_read(table.data(), 3), 1); });
    EXPECT_TRUE(has(out, ":\"Bytes to read from EEPROM is 2\"\n"));
    EXPECT_EQ(table[3].eeprom_len, 77u) << "length taken from a rejected header";

    struct {
        std::uint16_t header;
        const char *shown;
    } const cases[] = {{0x0001, "3"}, {0x7FFE, "32768"}, {0xFFFF, "1"}};
    for (const auto &c : cases) {
        store(base_board(), {}, c.header);
        int len = -1;
        out = capture_stdout([&] { EXPECT_EQ(qelt_bb_eeprom_read(nullptr, &len), 1); });
        EXPECT_TRUE(has(out, "Error : qelt_bb_eeprom_read("));
        EXPECT_TRUE(has(out, std::string(":\"Bytes to read from EEPROM is ") + c.shown + "\"\n")) << c.header;
        EXPECT_EQ(len, -1);
    }
}

TEST_F(Eeprom, WriteProtectedDeviceKeepsItsContent)
{
    const auto old_data = pattern(40, 9), data = pattern(40, 10);
    store(device(5), old_data, 40);
    device(5).write_protect = 1;
    std::memcpy(table[5].eeprom, data.data(), 40);
    table[5].eeprom_len = 40;
    // The part acknowledges and ignores the data: the write cannot tell.
    EXPECT_EQ(qelt_eeprom_write(table.data(), 5), 0);
    ASSERT_EQ(qelt_eeprom_read(table.data(), 5), 0);
    EXPECT_EQ(std::memcmp(table[5].eeprom, old_data.data(), 40), 0);

    // Protected while still erased: the read points at write protection.
    base_board().write_protect = 1;
    EXPECT_EQ(qelt_bb_eeprom_write(data.data(), 40), 0);
    int len = 0;
    const std::string out = capture_stdout([&] { EXPECT_EQ(qelt_bb_eeprom_read(nullptr, &len), 1); });
    EXPECT_TRUE(has(out, "please check write protect"));
}

TEST_F(Eeprom, DataIsDumpedAtLevelThreeOnlyAndTheLineEndAlways)
{
    std::memcpy(table[3].eeprom, "abc", 3);
    table[3].eeprom_len = 3;
    qelt_log_level = 0;
    EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(qelt_eeprom_write(table.data(), 3), 0); }), "\n");
    EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(qelt_eeprom_read(table.data(), 3), 0); }), "\n");

    qelt_log_level = 3;
    std::string out = capture_stdout([&] { EXPECT_EQ(qelt_eeprom_read(table.data(), 3), 0); });
    EXPECT_TRUE(has(out, "INFO : qelt_eeprom_read("));
    EXPECT_TRUE(out.ends_with(":\"Slice 3 EEPROM Pagesize = 64, BytestoRead = 3\\n\"\nEEPROM Data : abc\n"))
        << out;
    out = capture_stdout(
        [&] { EXPECT_EQ(qelt_bb_eeprom_write(reinterpret_cast<const std::uint8_t *>("xy\nz"), 4), 0); });
    EXPECT_EQ(out, "EEPROM Data : xy\nz\n");

    qelt_log_level = 4;
    out = capture_stdout([&] { EXPECT_EQ(qelt_eeprom_read(table.data(), 3), 0); });
    EXPECT_FALSE(has(out, "EEPROM Data"));
    EXPECT_TRUE(out.ends_with("\"\n\n")) << out;
}

TEST_F(Eeprom, RefusedBeforeAnyTransfer)
{
    board.clear_trace();
    qelt_log_level = 3;
    std::string out = capture_stdout([&] { EXPECT_EQ(qelt_eeprom_write(table.data(), 4), 1); });
    EXPECT_EQ(out.find("INFO : qelt_eeprom_write("), 0u);
    EXPECT_TRUE(out.ends_with(":\"Slice 4 not found!\"\n"));

    // Chunk sizes the loops cannot use.
    for (std::uint8_t page : {0, 65}) {
        table[3].eeprom_page_size = page;
        out = capture_stdout([&] {
            EXPECT_EQ(qelt_eeprom_read(table.data(), 3), 1);
            EXPECT_EQ(qelt_eeprom_write(table.data(), 3), 1);
        });
        EXPECT_TRUE(has(out, "Error : qelt_eeprom_write("));
        EXPECT_TRUE(has(out, "Pagesize = " + std::to_string(page) + " is out of range(1..64)!"));
    }
    table[3].eeprom_page_size = 64;

    // Lengths the header cannot hold or the image does not have.
    for (std::uint32_t n : {32766u, 0xFFFFFFFFu}) {
        table[3].eeprom_len = n;
        out = capture_stdout([&] {
            EXPECT_EQ(qelt_eeprom_write(table.data(), 3), 1);
            EXPECT_EQ(qelt_bb_eeprom_write(table[3].eeprom, n), 1);
        });
        EXPECT_TRUE(has(out, "Error : qelt_eeprom_write("));
        EXPECT_TRUE(has(out, "Error : qelt_bb_eeprom_write("));
    }

    // Slice numbers beyond the table.
    std::vector<qelt_slice> big(QELT_SLICE_COUNT + 1);
    big[9].present = 1;
    big[9].eeprom_page_size = 64;
    big[9].eeprom_len = 4;
    big[9].eeprom[0] = 0x77;
    EXPECT_EQ(qelt_eeprom_read(big.data(), 9), 1);
    EXPECT_EQ(qelt_eeprom_write(big.data(), 9), 1);
    EXPECT_EQ(qelt_eeprom_clear(big.data(), 9), 1);
    EXPECT_EQ(big[9].eeprom[0], 0x77);
    EXPECT_EQ(big[9].eeprom_len, 4u);

    EXPECT_TRUE(untouched(board));

    // Clearing needs no fitted slice and touches nothing but the image.
    std::memset(table[4].eeprom, 0xAB, sizeof table[4].eeprom);
    table[4].eeprom_len = 99;
    EXPECT_EQ(qelt_eeprom_clear(table.data(), 4), 0);
    EXPECT_EQ(std::count(std::begin(table[4].eeprom), std::end(table[4].eeprom), 0), QELT_EEPROM_IMAGE_SIZE);
    EXPECT_EQ(table[4].eeprom_len, 99u);
    EXPECT_TRUE(untouched(board));
}

TEST_F(Eeprom, BusFailuresAreReportedAndTheHandleClosed)
{
    store(device(5), pattern(130, 1), 130);
    store(base_board(), pattern(130, 2), 130);
    table[5].eeprom_len = 130;
    std::vector<std::uint8_t> buf(32765);
    int len = 0;
    struct {
        qsim::fault f;
        int (*call)(qelt_slice *, std::uint8_t *, int *);
        const char *message;
    } const cases[] = {
        {nack(1, slice_eeprom, qsim::op_read, 0, 1),
         [](qelt_slice *t, std::uint8_t *, int *) { return qelt_eeprom_read(t, 5); },
         ":\"Unable to read I2C (0x54), Reg(0x00)\"\n"},
        {nack(1, slice_eeprom, qsim::op_write, 2, 1),
         [](qelt_slice *t, std::uint8_t *, int *) { return qelt_eeprom_read(t, 5); },
         ":\"Unable to write I2C (0x54), Reg(0x40)\"\n"},
        {nack(1, slice_eeprom, qsim::op_write, 1, 1),
         [](qelt_slice *t, std::uint8_t *, int *) { return qelt_eeprom_write(t, 5); },
         ":\"Unable to write I2C (0x54), Reg(0x0040)\"\n"},
        {nack(0, bb_eeprom, qsim::op_read, 2, 1),
         [](qelt_slice *, std::uint8_t *b, int *l) { return qelt_bb_eeprom_read(b, l); },
         ":\"Unable to read I2C (0x51), Reg(0x20)\"\n"},
        {nack(0, bb_eeprom, qsim::op_write, 3, 1),
         [](qelt_slice *, std::uint8_t *b, int *) { return qelt_bb_eeprom_write(b, 130); },
         ":\"Unable to write I2C (0x51), Reg(0x0060)\"\n"},
        {refuse_select(1, slice_eeprom, 0, 1),
         [](qelt_slice *t, std::uint8_t *, int *) { return qelt_eeprom_read(t, 5); },
         ":\"Unable to select EEPROM Addr 0x54 on PL I2C device for slice 5\"\n"},
        {refuse_select(0, bb_eeprom, 0, 1),
         [](qelt_slice *, std::uint8_t *b, int *) { return qelt_bb_eeprom_write(b, 3); },
         ":\"Unable to setup I2C device at 51\"\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        board.inject(c.f);
        board.clear_trace();
        const std::string out = capture_stdout([&] { EXPECT_EQ(c.call(table.data(), buf.data(), &len), 1); });
        EXPECT_TRUE(has(out, c.message)) << out;
        EXPECT_FALSE(has(out, "\n\n")) << "a failed transfer printed the data line end";
        EXPECT_TRUE(released(board));
    }
    // The header was accepted before the chunk failed: its length stays.
    EXPECT_EQ(table[5].eeprom_len, 130u);
    EXPECT_EQ(len, 130);
}

TEST_F(Eeprom, NoTransferWhenTheSliceCannotBeSelected)
{
    // Without the select the data would go to whichever slice was routed
    // last.
    board.reg(slice_select) = 1u << 3;
    qsim::fault f{};
    f.kind = qsim::fault_kind::mem_map;
    f.bus = f.addr = qsim::fault_any;
    f.count = 1;
    board.inject(f);
    table[5].eeprom_len = 4;
    board.clear_trace();
    const std::string out = capture_stdout([&] { EXPECT_EQ(qelt_eeprom_write(table.data(), 5), 1); });
    EXPECT_TRUE(has(out, "Error : "));
    EXPECT_TRUE(i2c_messages(board, 1).empty());
}

// The simulated part behaves like a 24xx: a write that runs past its page
// wraps to the page start, a read runs on across the end of the array. A
// library whose chunks crossed a page would show here as lost data.
TEST_F(Eeprom, SimulatedPartWrapsLikeTheRealOne)
{
    qelt_i2c h{};
    h.path = "/dev/i2c-0";
    qelt_i2c_init(&h);
    ASSERT_EQ(qelt_i2c_devselect(&h, bb_eeprom), 0);
    const std::uint8_t across_page[] = {0x00, 0x1E, 1, 2, 3, 4};
    std::memcpy(h.wbuf, across_page, sizeof across_page);
    h.wlen = sizeof across_page;
    ASSERT_EQ(qelt_i2c_write(&h), 0);
    const std::uint8_t *mem = base_board().mem;
    EXPECT_EQ(std::vector<int>({mem[0x1E], mem[0x1F], mem[0x00], mem[0x01], mem[0x20]}),
              std::vector<int>({1, 2, 3, 4, 0xFF}));

    base_board().mem[0x7FFF] = 0x42;
    h.wbuf[0] = 0x7F;
    h.wbuf[1] = 0xFF;
    h.wlen = 2;
    ASSERT_EQ(qelt_i2c_write(&h), 0);
    h.rlen = 3;
    ASSERT_EQ(qelt_i2c_read(&h), 0);
    EXPECT_EQ(std::vector<int>({h.rbuf[0], h.rbuf[1], h.rbuf[2]}), std::vector<int>({0x42, 3, 4}));
    qelt_i2c_close(&h);
}

} // namespace
