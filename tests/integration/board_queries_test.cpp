// The slice temperature sensors on the PL bus and the SOM's configuration
// EEPROM.
#include "bus_checks.h"

#include <qelt/qelt.h>

#include <cstring>
#include <limits>

namespace {

using namespace qelt_test;

constexpr std::uint64_t slice_select = 0xA0070000;
constexpr std::uint8_t sensor = 0x48;
constexpr std::uint8_t som_eeprom = 0x50;

class Temperature : public ::testing::Test {
  protected:
    void SetUp() override
    {
        qelt_log_level = 3;
        for (int s : {3, 5, 8})
            table[s].present = 1;
        table[5].temperature = unchanged;
    }
    void TearDown() override { qelt_log_level = 0; }

    qsim::temp_sensor &sensor_of(int slice) { return board.state().slices[slice].sensor; }

    static constexpr float unchanged = -99.0f;
    sim_board board{3, 5, 8};
    std::vector<qelt_slice> table = std::vector<qelt_slice>(9);
};

TEST_F(Temperature, OneShotConversionThenResult)
{
    const std::string out = capture_stdout([&] { EXPECT_EQ(qelt_board_temperature(table.data(), 5), 0); });
    EXPECT_EQ(table[5].temperature, 25.0f);
    EXPECT_EQ(board.reg(slice_select), 0x20u);

    // Start, poll the configuration until it reads 0x2C (the sensor takes
    // two reads), then point at the result and read it.
    const auto msgs = i2c_messages(board, 1, sensor);
    ASSERT_EQ(msgs.size(), 6u);
    EXPECT_EQ(msgs[0].data, (bytes{0x01, 0x0C, 0x20}));
    EXPECT_EQ(msgs[1].data, (bytes{0x0C, 0x20}));
    EXPECT_EQ(msgs[3].data, (bytes{0x2C, 0x20}));
    EXPECT_EQ(msgs[4].data, bytes{0x00});
    EXPECT_EQ(msgs[5].data, (bytes{0x0C, 0x80}));
    EXPECT_TRUE(i2c_messages(board, 0).empty()) << "the base-board bus was used";

    EXPECT_NE(out.find(":\"Board temperature One-Shot Conversion Mode for slice 5\"\n"), std::string::npos);
    EXPECT_NE(out.find(":\"Board Temperature for Slice 5 = 25.00 C!!\\n\"\n"), std::string::npos);
    EXPECT_TRUE(released(board));
}

TEST_F(Temperature, ResultIsSignedInStepsOf1_128)
{
    const struct {
        std::uint16_t raw;
        float celsius;
    } cases[] = {{0x0C80, 25.0f}, {0xFF80, -1.0f}, {0x7FFF, 32767.0f / 128.0f}, {0x8000, -256.0f}};
    for (const auto &c : cases) {
        sensor_of(8).reg[0] = c.raw;
        EXPECT_EQ(qelt_board_temperature(table.data(), 8), 0);
        EXPECT_EQ(table[8].temperature, c.celsius) << c.raw;
    }
    EXPECT_EQ(board.reg(slice_select), 0x100u);
}

TEST_F(Temperature, StuckSensorIsPolledExactly99Times)
{
    sensor_of(5).conversion_reads = 0xFFFF;
    sensor_of(5).reg[0] = 0x0D00;
    EXPECT_EQ(qelt_board_temperature(table.data(), 5), 0);
    EXPECT_EQ(reads_from(board, 1, sensor), 99u + 1u);
    EXPECT_EQ(table[5].temperature, 26.0f);
}

TEST_F(Temperature, FailedPollsAreNotActedOn)
{
    board.inject(nack(1, sensor, qsim::op_read, 0, 2));
    EXPECT_EQ(qelt_board_temperature(table.data(), 5), 0);
    EXPECT_EQ(table[5].temperature, 25.0f);
}

TEST_F(Temperature, NoSensorNoTraffic)
{
    table[6].temperature = unchanged;
    const std::string out = capture_stdout([&] {
        EXPECT_EQ(qelt_board_temperature(table.data(), 3), 1); // fitted, but no sensor below slice 5
        EXPECT_EQ(qelt_board_temperature(table.data(), 6), 1); // not present
    });
    EXPECT_NE(out.find("INFO : qelt_board_temperature("), std::string::npos);
    EXPECT_NE(out.find(":\"Temperature Sensor Not Present on Slice!\\n\"\n"), std::string::npos);
    EXPECT_EQ(table[3].temperature, 0.0f);
    EXPECT_EQ(table[6].temperature, unchanged);
    EXPECT_TRUE(untouched(board));
}

TEST_F(Temperature, FailureRows)
{
    struct {
        qsim::fault fault;
        const char *message;
    } const cases[] = {
        {refuse_select(1, sensor), "\"Unable to setup I2C device for slice 5\""},
        {nack(1, sensor, qsim::op_write), "\"Unable to write I2C (0x48), Reg(0x01)\""},
        {nack(1, sensor, qsim::op_write, 1), "\"Unable to write I2C (0x48), Reg(0x00)\""},
        // Every read refused: the polls run out, then the result read fails.
        {nack(1, sensor, qsim::op_read), "\"Unable to read I2C (0x48), Reg(0x00)\""},
    };
    for (const auto &c : cases) {
        sim_board fresh{5};
        fresh.inject(c.fault);
        const std::string out =
            capture_stdout([&] { EXPECT_EQ(qelt_board_temperature(table.data(), 5), 1); });
        EXPECT_NE(out.find(c.message), std::string::npos) << out;
        EXPECT_EQ(table[5].temperature, unchanged);
        EXPECT_TRUE(released(fresh));
    }
}

class SomConfig : public ::testing::Test {
  protected:
    void SetUp() override
    {
        qelt_log_level = 3;
        std::uint8_t *mem = board.state().som_eeprom.mem;
        const std::uint8_t date[] = {0x10, 0x27, 0x00};
        std::memcpy(mem + 0x0B, date, 3);
        std::memcpy(mem + 0x16, "SKU-0042\0\0\0\0\0\0\0\0", 16);
        std::memcpy(mem + 0x27, "SN0123456789ABCD", 16); // fills the field
        std::memcpy(mem + 0x44, "REV-C", 5);
        const std::uint8_t mac[] = {0x00, 0x0A, 0x35, 0x01, 0x02, 0x03};
        std::memcpy(mem + 0x83, mac, 6);
    }
    void TearDown() override { qelt_log_level = 0; }

    sim_board board{};
};

TEST_F(SomConfig, FieldsAreCopiedAsStored)
{
    qelt_som som{};
    EXPECT_EQ(qelt_som_config_read(&som), 0);
    EXPECT_EQ(bytes(som.date, som.date + 3), (bytes{0x10, 0x27, 0x00}));
    EXPECT_EQ(std::string(som.sku, 16), std::string("SKU-0042\0\0\0\0\0\0\0\0", 16));
    EXPECT_EQ(std::string(som.serial, 16), "SN0123456789ABCD");
    // Erased bytes after the revision text are copied too: nothing is cut.
    EXPECT_EQ(std::string(som.revision, 8), "REV-C\xFF\xFF\xFF");
    EXPECT_EQ(bytes(som.macid, som.macid + 6), (bytes{0x00, 0x0A, 0x35, 0x01, 0x02, 0x03}));
    EXPECT_TRUE(released(board));
}

TEST_F(SomConfig, FieldsAreReadInOrderWithoutTouchingTheMultiplexer)
{
    board.state().mux[0].control = 0x04;
    qelt_som som{};
    EXPECT_EQ(qelt_som_config_read(&som), 0);
    const auto msgs = i2c_messages(board, 0);
    const std::vector<std::pair<bytes, std::size_t>> expected{
        {{0x00, 0x0B}, 3}, {{0x00, 0x44}, 8}, {{0x00, 0x27}, 16}, {{0x00, 0x16}, 16}, {{0x00, 0x83}, 6}};
    ASSERT_EQ(msgs.size(), 2 * expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(msgs[2 * i].addr, som_eeprom);
        EXPECT_EQ(msgs[2 * i].data, expected[i].first);
        EXPECT_EQ(msgs[2 * i + 1].data.size(), expected[i].second);
    }
    EXPECT_EQ(board.state().mux[0].control, 0x04);
}

TEST_F(SomConfig, FailureStopsTheSequenceAndKeepsWhatWasRead)
{
    struct {
        qsim::fault fault;
        const char *message;
        bool date_read;
        bool revision_read;
    } const cases[] = {
        {refuse_select(0, som_eeprom), "\"Unable to initialize I2C device at Addr : 0x50\"", false, false},
        {nack(0, som_eeprom, qsim::op_write, 2), "\"Unable to write I2C Addr (0x50), Reg(0x27)\"", true,
         true},
        {nack(0, som_eeprom, qsim::op_read, 1), "\"Unable to read I2C Addr (0x50), Reg(0x44)\"", true, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        board.state().faults[0] = c.fault;
        board.clear_trace();
        qelt_som som{};
        std::memset(&som, 0xEE, sizeof som);
        const std::string out = capture_stdout([&] { EXPECT_EQ(qelt_som_config_read(&som), 1); });
        EXPECT_NE(out.find(c.message), std::string::npos) << out;
        EXPECT_EQ(som.date[0], c.date_read ? 0x10 : 0xEE);
        EXPECT_EQ(static_cast<std::uint8_t>(som.revision[0]), c.revision_read ? 'R' : 0xEE);
        EXPECT_EQ(static_cast<std::uint8_t>(som.serial[0]), 0xEE);
        EXPECT_EQ(som.macid[0], 0xEE);
        EXPECT_TRUE(released(board));
    }
}

} // namespace
