// Slice and base-board EEPROM transfers against the simulated 24xx parts,
// which wrap a write that crosses a page: what lands in the device, what
// comes back, and what is refused before any transfer.
#include "bus_checks.h"

namespace {

using namespace qelt_test;

constexpr std::uint8_t slice_eeprom = 0x54;
constexpr std::uint64_t slice_select = 0xA0070000;

// Bytes that differ at every position of a page, so that a chunk placed at
// the wrong offset shows.
std::vector<std::uint8_t> pattern(std::size_t n, std::uint32_t seed)
{
    std::vector<std::uint8_t> v(n);
    for (auto &b : v)
        b = static_cast<std::uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
    return v;
}

class Eeprom : public board_test<3, 5> {
  protected:
    Eeprom() { table[3].eeprom_page_size = table[5].eeprom_page_size = 64; }
    void SetUp() override { qelt_log_level = 1; }
    qsim::eeprom &base_board() { return board.state().bb_eeprom; }

    std::string read(int s, int r = 0) { return printed(r, qelt_eeprom_read, table.data(), s); }
    std::string write(int s, int r = 0) { return printed(r, qelt_eeprom_write, table.data(), s); }
    std::string bb_read(int r, int *len) { return printed(r, qelt_bb_eeprom_read, bb.data(), len); }
    std::string bb_write(const void *data, std::uint32_t n, int r = 0)
    {
        return printed(r, qelt_bb_eeprom_write, static_cast<const std::uint8_t *>(data), n);
    }

    // Writes n bytes to slice 5's EEPROM or the base board's, a part with
    // pages of `size` bytes, then reads them back into a cleared image or
    // buffer.
    void round_trip(bool slice, std::size_t n, std::uint32_t size = 64)
    {
        SCOPED_TRACE(::testing::Message()
                     << (slice ? "slice " : "base board ") << n << " bytes, chunks " << size);
        const auto len = static_cast<std::uint32_t>(n);
        const auto data = pattern(n, len + size);
        std::memcpy(table[5].eeprom, data.data(), n);
        table[5].eeprom_len = len;
        table[5].eeprom_page_size = static_cast<std::uint8_t>(size);
        table[5].v3p3_on = 0x5A; // the field right in front of the image
        qsim::eeprom &part = slice ? board.state().slices[5].storage : base_board();
        part.page = static_cast<std::uint16_t>(size);
        board.reg(slice_select) = 0;
        board.clear_trace();
        EXPECT_EQ(slice ? write(5) : bb_write(data.data(), len), "\n");
        EXPECT_TRUE(part.mem[0] == n >> 8 && part.mem[1] == (n & 0xFF) &&
                    std::memcmp(part.mem + 2, data.data(), n) == 0);
        EXPECT_EQ(board.reg(slice_select), slice ? 0x20u : 0u);
        // No write crosses a page, which the part would wrap.
        for (const bytes &w : writes_to(board, slice ? 1 : 0, slice ? slice_eeprom : 0x51))
            EXPECT_LE((w.at(0) << 8 | w.at(1)) % size + w.size() - 2, size);

        std::memset(table[5].eeprom, 0, n);
        table[5].eeprom_len = 0;
        int bb_len = -1;
        EXPECT_EQ(slice ? read(5) : bb_read(0, &bb_len), "\n");
        EXPECT_EQ(slice ? table[5].eeprom_len : static_cast<std::uint32_t>(bb_len), len);
        EXPECT_EQ(std::memcmp(slice ? table[5].eeprom : bb.data(), data.data(), n), 0);
        EXPECT_EQ(table[5].v3p3_on, 0x5A);
        // Neither EEPROM sits behind the slice multiplexer.
        EXPECT_TRUE(i2c_messages(board, 0, 0x76).empty());
        EXPECT_TRUE(released(board));
    }

    std::vector<std::uint8_t> bb = std::vector<std::uint8_t>(32765); // base-board read buffer
};

TEST_F(Eeprom, RoundTripsInPageChunks)
{
    for (std::size_t n : {2, 5, 300, 32765})
        round_trip(true, n);
    // Chunks smaller than the header still place every byte.
    for (std::uint32_t page : {1, 3})
        round_trip(true, 9, page);
    for (std::size_t n : {2, 5, 300})
        round_trip(false, n, 32);
}

TEST_F(Eeprom, DataIsDumpedAtLevelThreeOnlyAndTheLineEndAlways)
{
    std::memcpy(table[3].eeprom, "abc", 3);
    table[3].eeprom_len = 3;
    const std::string info =
        "INFO : qelt_eeprom_read(#) :\"Slice 3 EEPROM Pagesize = 64, BytestoRead = 3\\n\"\n";
    qelt_log_level = 0;
    EXPECT_EQ(write(3), "\n");
    EXPECT_EQ(read(3), "\n");
    qelt_log_level = 3;
    EXPECT_EQ(read(3), info + "EEPROM Data : abc\n");
    EXPECT_EQ(bb_write("xy\nz", 4), "EEPROM Data : xy\nz\n");
    qelt_log_level = 4;
    EXPECT_EQ(read(3), info + "\n");
}

// A read fails on a header without a length in 2..32765 (an erased part's
// 0xFFFF, an empty image's 0, 1, 32766) and leaves the length alone; a
// chunk that fails after the header (the second: a read's third message)
// ends the transfer, the header's length kept. Neither prints the data
// line end.
TEST_F(Eeprom, FailedTransfersKeepTheLengthAndPrintNoLineEnd)
{
    table[5].eeprom_len = 0;
    EXPECT_EQ(write(5), "\n"); // an empty image is written all the same
    const std::tuple<char, int, qsim::fault, int> cases[] = {
        {'r', 0xFFFF, {}, 77},
        {'r', 0, {}, 77},
        {'b', 1, {}, -1},
        {'b', 32766, {}, -1},
        {'r', 130, nack(1, slice_eeprom, qsim::op_read, 2, 1), 130},
        {'r', 130, nack(1, slice_eeprom, qsim::op_write, 2, 1), 130},
        {'w', 130, nack(1, slice_eeprom, qsim::op_write, 1, 1), 130},
        {'b', 130, nack(0, 0x51, qsim::op_read, 2, 1), 130}};
    for (const auto &[op, header, fault, len] : cases) {
        SCOPED_TRACE(::testing::Message() << op << " " << header);
        for (std::uint8_t *mem : {board.state().slices[5].storage.mem, base_board().mem}) {
            mem[0] = static_cast<std::uint8_t>(header >> 8);
            mem[1] = static_cast<std::uint8_t>(header);
        }
        if (fault.count != 0)
            board.inject(fault);
        if (op != 'b')
            table[5].eeprom_len = static_cast<std::uint32_t>(len);
        int bb_len = -1;
        const std::string out = op == 'r' ? read(5, 1) : op == 'w' ? write(5, 1) : bb_read(1, &bb_len);
        EXPECT_FALSE(out.ends_with("\n\n")) << out;
        EXPECT_EQ(op == 'b' ? bb_len : static_cast<int>(table[5].eeprom_len), len);
    }
}

} // namespace
