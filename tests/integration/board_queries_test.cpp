// The slice temperature sensors on the PL bus and the SOM's configuration
// EEPROM.
#include "bus_checks.h"

namespace {

using namespace qelt_test;

constexpr std::uint64_t slice_select = 0xA0070000;
constexpr std::uint8_t sensor = 0x48;
constexpr std::uint8_t som_eeprom = 0x50;

using BoardQueries = board_test<5, 6, 8>;

TEST_F(BoardQueries, TemperatureOneShotHandshakeAndConversion)
{
    EXPECT_EQ(qelt_board_temperature(table.data(), 5), 0);
    EXPECT_EQ(table[5].temperature, 25.0f);
    EXPECT_EQ(board.reg(slice_select), 0x20u);
    // Start, poll the configuration until it reads 0x2C (the sensor takes
    // two reads), then point at the result and read it.
    EXPECT_EQ(writes_to(board, 1, sensor), (std::vector<bytes>{{0x01, 0x0C, 0x20}, {0x00}}));
    EXPECT_EQ(reads_from(board, 1, sensor), 4u);
    EXPECT_TRUE(i2c_messages(board, 0).empty()) << "the base-board bus was used";

    // The result is signed, in steps of 1/128 degree.
    for (const auto &[raw, celsius] :
         {std::pair{0xFF80, -1.0f}, {0x7FFF, 32767.0f / 128.0f}, {0x8000, -256.0f}}) {
        board.state().slices[8].sensor.reg[0] = static_cast<std::uint16_t>(raw);
        EXPECT_EQ(qelt_board_temperature(table.data(), 8), 0);
        EXPECT_EQ(table[8].temperature, celsius) << raw;
    }

    // A sensor that never reports completion is given up on after 99 polls,
    // and its result taken all the same.
    board.state().slices[5].sensor.conversion_reads = 0xFFFF;
    board.state().slices[5].sensor.reg[0] = 0x0D00;
    board.clear_trace();
    EXPECT_EQ(qelt_board_temperature(table.data(), 5), 0);
    EXPECT_EQ(reads_from(board, 1, sensor), 99u + 1u);
    EXPECT_EQ(table[5].temperature, 26.0f);
    // A refused poll does not count as completion, nor as a failure.
    sim_board fresh{5};
    fresh.inject(nack(1, sensor, qsim::op_read, 0, 2));
    EXPECT_EQ(qelt_board_temperature(table.data(), 5), 0);
    EXPECT_EQ(table[5].temperature, 25.0f);
}

TEST_F(BoardQueries, SomConfigFieldsAreReadInOrderUntilAFailure)
{
    // What the fields hold is shown by the board control tool's test.
    std::uint8_t *mem = board.state().som_eeprom.mem;
    mem[0x0B] = 0x10; // date
    mem[0x44] = 'R';  // revision
    qelt_som som{};
    EXPECT_EQ(qelt_som_config_read(&som), 0);
    // One field at a time from its two-byte address; the multiplexer is not touched.
    EXPECT_EQ(writes_to(board, 0, som_eeprom),
              (std::vector<bytes>{{0x00, 0x0B}, {0x00, 0x44}, {0x00, 0x27}, {0x00, 0x16}, {0x00, 0x83}}));
    EXPECT_EQ(i2c_messages(board, 0).size(), 10u);

    // A failure stops the sequence; the fields read before it are kept:
    // the date and the revision, or the date alone.
    for (const auto &[fault, revision_read] : {std::pair{nack(0, som_eeprom, qsim::op_write, 2), true},
                                               {nack(0, som_eeprom, qsim::op_read, 1), false}}) {
        board.state().faults[0] = fault;
        std::memset(&som, 0xEE, sizeof som);
        EXPECT_EQ(qelt_som_config_read(&som), 1);
        EXPECT_EQ(som.date[0], 0x10);
        EXPECT_EQ(static_cast<std::uint8_t>(som.revision[0]), revision_read ? 'R' : 0xEE);
        EXPECT_EQ(static_cast<std::uint8_t>(som.serial[0]), 0xEE);
    }
}

} // namespace
