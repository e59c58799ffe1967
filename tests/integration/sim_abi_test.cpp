// Calls the library does not make today, answered by the simulated device
// nodes as the kernel's i2c-dev and spidev drivers answered them under
// qemu-system-arm: a library that starts making them meets the kernel's
// answers here first.
#include "sim_fixture.h"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/spi/spidev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <tuple>

namespace {

TEST(SimulatedNodes, AnswerAsTheKernelDid)
{
    const qelt_test::sim_board board;
    const int i2c = open("/dev/i2c-0", O_RDWR);
    const int spi = open("/dev/spidev2.0", O_RDWR);
    std::uint32_t mode = 0;
    std::uint8_t bits = 0;
    std::uint8_t buf[4097] = {0x9F};
    auto set_mode = [&](std::uint32_t m) {
        mode = m;
        return ioctl(spi, SPI_IOC_WR_MODE32, &mode);
    };
    // What is done, the result and (for -1) errno.
    const std::tuple<const char *, std::function<long()>, long, int> calls[] = {
        {"unknown i2c-dev request", [&] { return ioctl(i2c, 0x1234, 0); }, -1, ENOTTY},
        {"unknown spidev request", [&] { return ioctl(spi, 0x1234, 0); }, -1, ENOTTY},
        {"adapter timeout", [&] { return ioctl(i2c, I2C_TIMEOUT, 10UL); }, 0, 0},
        {"word size before any is set", [&] { return ioctl(spi, SPI_IOC_RD_BITS_PER_WORD, &bits) + bits; }, 8,
         0},
        {"mode bit beyond spidev's", [&] { return set_mode(0x80000000u); }, -1, EINVAL},
        {"mode the controller lacks", [&] { return set_mode(SPI_LSB_FIRST); }, -1, EINVAL},
        {"dual lines dropped from the mode",
         [&] { return set_mode(SPI_TX_DUAL | SPI_MODE_1) + ioctl(spi, SPI_IOC_RD_MODE32, &mode) + mode; },
         SPI_MODE_1, 0},
        {"spidev write", [&] { return write(spi, buf, 3); }, 3, 0},
        {"spidev read", [&] { return read(spi, buf, 3); }, 3, 0},
        {"spidev read beyond its buffer", [&] { return read(spi, buf, sizeof buf); }, -1, EMSGSIZE},
    };
    for (const auto &[what, call, result, error] : calls) {
        const long got = call();
        const int got_error = got < 0 ? errno : 0;
        EXPECT_EQ(got, result) << what;
        EXPECT_EQ(got_error, error) << what;
    }
    close(spi);
    close(i2c);
}

} // namespace
