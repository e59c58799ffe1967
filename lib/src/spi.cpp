// spidev handle and the attenuator (DSA) write.
#include "board_lock.h"
#include "convert.h"
#include "gpio_block.h"
#include "log.h"
#include "slice_check.h"

#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

// One chip select, and so one spidev node, per DSA channel.
constexpr int dsa_channels = 4;
constexpr const char *dsa_device[dsa_channels] = {"/dev/spidev2.0", "/dev/spidev2.1", "/dev/spidev2.2",
                                                  "/dev/spidev2.3"};

void release_buffers(qelt_spidev *h)
{
    std::free(h->tx_buf);
    std::free(h->rx_buf);
    h->tx_buf = nullptr;
    h->rx_buf = nullptr;
}

// Multi-line transfer widths as spidev defines them from the mode bits.
void apply_line_widths(const qelt_spidev *h, spi_ioc_transfer &tr)
{
    const std::uint32_t m = h->mode;
    if (m & SPI_TX_OCTAL)
        tr.tx_nbits = 8;
    else if (m & SPI_TX_QUAD)
        tr.tx_nbits = 4;
    else if (m & SPI_TX_DUAL)
        tr.tx_nbits = 2;
    if (m & SPI_RX_OCTAL)
        tr.rx_nbits = 8;
    else if (m & SPI_RX_QUAD)
        tr.rx_nbits = 4;
    else if (m & SPI_RX_DUAL)
        tr.rx_nbits = 2;
    if (!(m & SPI_LOOP)) {
        if (m & (SPI_TX_OCTAL | SPI_TX_QUAD | SPI_TX_DUAL))
            tr.rx_buf = 0;
        else if (m & (SPI_RX_OCTAL | SPI_RX_QUAD | SPI_RX_DUAL))
            tr.tx_buf = 0;
    }
}

} // namespace

using namespace qelt;

extern "C" {

int qelt_spidev_init(qelt_spidev *h, uint8_t mode)
{
    const board_lock lock;
    if (mode != 0) {
        log_error(QELT_HERE, "Specify Valid Spidev mode (0)");
        return 1;
    }
    h->delay_usecs = 0;
    h->bits_per_word = 8;
    h->mode = 0;
    h->speed_hz = 500000;
    h->fd = -1;
    h->tx_buf = static_cast<uint8_t *>(std::calloc(h->len, 1));
    h->rx_buf = static_cast<uint8_t *>(std::calloc(h->len, 1));
    if ((h->tx_buf == nullptr || h->rx_buf == nullptr) && h->len != 0) {
        log_error(QELT_HERE, "Unable to allocate SPI buffers of %llu bytes",
                  static_cast<unsigned long long>(h->len));
        release_buffers(h);
        return 1;
    }

    h->fd = open(h->path, O_RDWR | O_CLOEXEC);
    if (h->fd < 0) {
        log_error(QELT_HERE, "Unable to open SPI Master device %s", h->path);
        release_buffers(h);
        return 1;
    }

    const char *failure = nullptr;
    unsigned value = 0;
    std::uint8_t bits = static_cast<std::uint8_t>(h->bits_per_word);
    if (ioctl(h->fd, SPI_IOC_WR_MODE32, &h->mode) < 0 || ioctl(h->fd, SPI_IOC_RD_MODE32, &h->mode) < 0) {
        failure = "Can't Setup SPIDEV Mode %d";
        value = h->mode;
    } else if (ioctl(h->fd, SPI_IOC_WR_BITS_PER_WORD, &bits) < 0 ||
               ioctl(h->fd, SPI_IOC_RD_BITS_PER_WORD, &bits) < 0) {
        failure = "Can't Setup SPIDEV Bits per word %d";
        value = h->bits_per_word;
    } else if (ioctl(h->fd, SPI_IOC_WR_MAX_SPEED_HZ, &h->speed_hz) < 0) {
        failure = "Can't Setup SPIDEV speed %d";
        value = h->speed_hz;
    }
    if (failure != nullptr) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        log_error(QELT_HERE, failure, value);
#pragma GCC diagnostic pop
        close(h->fd);
        h->fd = -1;
        release_buffers(h);
        return 1;
    }
    h->bits_per_word = bits;

    qelt_led_set(1);
    return 0;
}

int qelt_spidev_transfer(qelt_spidev *h)
{
    const board_lock lock;
    spi_ioc_transfer tr;
    std::memset(&tr, 0, sizeof tr);
    tr.tx_buf = reinterpret_cast<std::uintptr_t>(h->tx_buf);
    tr.rx_buf = reinterpret_cast<std::uintptr_t>(h->rx_buf);
    tr.len = static_cast<std::uint32_t>(h->len);
    tr.speed_hz = h->speed_hz;
    tr.delay_usecs = h->delay_usecs;
    tr.bits_per_word = static_cast<std::uint8_t>(h->bits_per_word);
    tr.cs_change = 0;
    apply_line_widths(h, tr);
    if (ioctl(h->fd, SPI_IOC_MESSAGE(1), &tr) < 0) {
        log_error(QELT_HERE, "Can't send SPI message");
        return 1;
    }
    return 0;
}

int qelt_spidev_close(qelt_spidev *h)
{
    const board_lock lock;
    if (h->fd >= 0)
        close(h->fd);
    h->fd = -1;
    release_buffers(h);
    qelt_led_clear(1);
    return 0;
}

int qelt_dsa_write(qelt_slice *table, uint8_t slice, uint8_t channel, uint8_t stage)
{
    const board_lock lock;
    if (!slice_index_ok(QELT_HERE, slice))
        return 1;
    if (!slice_fitted(QELT_HERE, table, slice))
        return 1;
    if (channel >= dsa_channels) {
        log_error(QELT_HERE, "DSA channel %d is not in range(0..3)!", channel);
        return 1;
    }
    if (stage > 1) {
        log_error(QELT_HERE, "DSA stage %d is not in range(0/1)!", stage);
        return 1;
    }
    const float requested = table[slice].dsa_value[channel][stage];
    const float step = table[slice].dsa_step[channel][stage];
    if (!convert::dsa_setting_valid(requested, step)) {
        log_error(QELT_HERE, "Invalid DSA setting: value %0.2f, step %0.2f", requested, step);
        return 1;
    }

    qelt_spidev spi{};
    spi.path = dsa_device[channel];
    spi.len = 1;
    if (qelt_spidev_init(&spi, 0) != 0) {
        log_error(QELT_HERE, "SPIDEV : Unable to open device %s\\n", spi.path);
        return 1;
    }
    if (!select_slice(slice)) {
        qelt_spidev_close(&spi);
        return 1;
    }

    float value = requested;
    if (value > convert::dsa_max_db) {
        log_warning(QELT_HERE, "Setting DSA to MAX value = %2.2f", convert::dsa_max_db);
        value = convert::dsa_max_db;
    } else if (value < convert::dsa_min_db) {
        log_warning(QELT_HERE, "Setting DSA to MIN value = %2.2f", convert::dsa_min_db);
        value = convert::dsa_min_db;
    }
    const std::uint8_t wire = convert::dsa_wire_byte(convert::dsa_code(value, step));
    log_info(QELT_HERE, "DSA Write at device %s , value = %0.2fdB, regval = %08x", spi.path, value, wire);

    spi.tx_buf[0] = wire;
    const int failed = qelt_spidev_transfer(&spi);
    if (failed != 0)
        log_error(QELT_HERE, "SPIDEV : Transfer Failed");
    qelt_spidev_close(&spi);
    return failed != 0 ? 1 : 0;
}

} // extern "C"
