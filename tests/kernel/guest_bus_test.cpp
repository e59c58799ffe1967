// Runs in the 32-bit ARM guest of the kernel test, on the kernel's own
// i2c-dev and spidev drivers and the devices QEMU emulates (see run_guest.py),
// through the library's exported functions only: "i2c" or "spi" names the
// machine's checks. One line per check; exit status 0 when all passed.
#include <qelt/qelt.h>

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;

int failures = 0;

__attribute__((format(printf, 2, 3))) void check(bool ok, const char *fmt, ...)
{
    std::printf("%s: ", ok ? "ok" : "FAILED");
    va_list args;
    va_start(args, fmt);
    std::vprintf(fmt, args);
    va_end(args);
    std::printf("\n");
    failures += ok ? 0 : 1;
}

// The lowest free descriptor: one left open would take it.
int next_descriptor()
{
    const int fd = dup(0);
    close(fd);
    return fd;
}

// What the library prints while `op` runs. glibc lets a program point
// stdout elsewhere; a memory stream takes no descriptor.
template <typename Op> std::string output_of(Op op)
{
    std::FILE *console = stdout;
    char *text = nullptr;
    std::size_t size = 0;
    stdout = open_memstream(&text, &size);
    op();
    std::fclose(stdout);
    stdout = console;
    const std::string out(text, size);
    std::free(text);
    return out;
}

// What `addr` answers with after the bytes `out` (a register or memory
// address; none for a switch) on an open handle; empty when a step fails.
bytes device_read(qelt_i2c &h, std::uint8_t addr, const bytes &out, std::uint8_t count)
{
    std::memcpy(h.wbuf, out.data(), out.size());
    h.wlen = static_cast<std::uint8_t>(out.size());
    h.rlen = count;
    if (qelt_i2c_devselect(&h, addr) != 0 || (!out.empty() && qelt_i2c_write(&h) != 0) ||
        qelt_i2c_read(&h) != 0)
        return {};
    return {h.rbuf, h.rbuf + count};
}

// The host sets the sensor through QMP, then answers with a line.
void set_temperature(int millidegrees)
{
    std::printf("qelt-temperature sensor %d\n", millidegrees);
    std::fflush(stdout);
    char answer[16];
    (void)std::fgets(answer, sizeof answer, stdin);
}

void i2c_checks()
{
    qelt_i2c h{};
    h.path = "/dev/i2c-0";
    qelt_i2c_init(&h);
    // The control bytes both switches hold once a channel is selected: the
    // other switch must have been disconnected on the way.
    const bytes switches[12] = {{0x01, 0}, {0x02, 0}, {0x04, 0}, {0x08, 0}, {0x10, 0}, {0, 0x01},
                                {0, 0x02}, {0, 0x04}, {0, 0x08}, {0x20, 0}, {0x40, 0}, {0x80, 0}};
    for (std::uint8_t channel = 0; channel < 12; ++channel) {
        const int result = qelt_i2c_mux_enable(&h, channel);
        const std::uint8_t read_back = h.rbuf[0];
        bytes held = device_read(h, 0x76, {}, 1);
        const bytes high = device_read(h, 0x77, {}, 1);
        held.insert(held.end(), high.begin(), high.end());
        check(result == 0 && read_back == (switches[channel][0] | switches[channel][1]) &&
                  held == switches[channel],
              "channel %d selected, switch read back 0x%02x", channel, read_back);
    }

    // The sensor's result register in 1/256 degrees at its default 9 bits.
    for (const auto &[millidegrees, result] : {std::pair{25500, bytes{0x19, 0x80}}, {-12000, {0xF4, 0x00}}}) {
        set_temperature(millidegrees);
        check(qelt_i2c_mux_enable(&h, 6) == 0 && device_read(h, 0x48, {0x00}, 2) == result,
              "sensor behind channel 6 at %d millidegrees", millidegrees);
    }
    qelt_i2c_mux_enable(&h, 5);
    check(device_read(h, 0x48, {0x00}, 2).empty(), "sensor not reachable through channel 5");

    // 100 bytes and the length header: chunks of 32, 32, 32 and 6 bytes.
    bytes image(100);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<std::uint8_t>(i * 37 + 11);
    check(qelt_bb_eeprom_write(image.data(), 100) == 0, "base-board EEPROM written");
    bytes stored{0x00, 100};
    stored.insert(stored.end(), image.begin(), image.begin() + 32);
    check(device_read(h, 0x51, {0x00, 0x00}, 34) == stored,
          "header and data across the first chunk boundary");
    qelt_i2c_close(&h);
    bytes back(32765);
    int len = 0;
    const int result = qelt_bb_eeprom_read(back.data(), &len);
    back.resize(static_cast<std::size_t>(len));
    check(result == 0 && back == image, "base-board EEPROM read back: result %d, %d bytes", result, len);

    // Nothing answers at 0x50.
    qelt_som som{};
    int failed = 0;
    const int before = next_descriptor();
    const std::string out = output_of([&] { failed = qelt_som_config_read(&som); });
    check(failed == 1 && out.find("BytesWritten = 255") != std::string::npos &&
              out.find(":\"Unable to write I2C Addr (0x50), Reg(0x0b)\"\n") != std::string::npos &&
              next_descriptor() == before && qelt_led_status(1) == 0,
          "absent SOM EEPROM: result %d, descriptors closed, LED 1 out, printed:\n%s", failed, out.c_str());
}

void spi_checks()
{
    static qelt_slice table[QELT_SLICE_COUNT];
    table[0].present = 1;
    table[0].dsa_value[0][0] = 10.0f;
    table[0].dsa_step[0][0] = 0.25f;
    check(qelt_dsa_write(table, 0, 0, 0) == 0, "one attenuator byte through /dev/spidev2.0");

    const int before = next_descriptor();
    qelt_spidev spi{};
    spi.path = "/dev/spidev2.0";
    spi.len = 4;
    int result = qelt_spidev_init(&spi, 0);
    bytes id(3);
    if (result == 0) {
        spi.tx_buf[0] = 0x9F; // JEDEC ID: manufacturer, type, capacity
        result = qelt_spidev_transfer(&spi);
        id.assign(spi.rx_buf + 1, spi.rx_buf + 4);
        qelt_spidev_close(&spi);
    }
    check(result == 0 && id == bytes{0xBF, 0x25, 0x41} && next_descriptor() == before &&
              qelt_led_status(1) == 0,
          "JEDEC ID %02x %02x %02x, spidev closed again", id[0], id[1], id[2]);
}

} // namespace

int main(int argc, char **argv)
{
    qelt_log_level = 1;
    const std::string which = argc > 1 ? argv[1] : "";
    if (which == "i2c")
        i2c_checks();
    else if (which == "spi")
        spi_checks();
    else
        check(false, "unknown case '%s'", which.c_str());
    std::printf("%d checks failed\n", failures);
    return failures == 0 ? 0 : 1;
}
