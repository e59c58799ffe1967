/*
 * libqelt - board support for the RF front-end base board.
 *
 * Plain C interface: every operation takes plain records owned by the
 * caller, opens whatever device it needs, and closes it again before it
 * returns. Unless stated otherwise an operation returns 0 on success and
 * 1 on failure, and reports failures on standard output gated by
 * qelt_log_level.
 */
#ifndef QELT_QELT_H
#define QELT_QELT_H

#include <stdint.h>

#if defined(__GNUC__)
#define QELT_API __attribute__((visibility("default")))
#else
#define QELT_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Number of slice positions on the base board; slice numbers are 0..8. */
#define QELT_SLICE_COUNT 9
/* Size of a slice EEPROM image held in the slice record. */
#define QELT_EEPROM_IMAGE_SIZE 32768

/* One slice position. Nine of these, indexed by slice number, make up the
 * slice table that every per-slice operation takes. */
typedef struct qelt_slice {
    uint8_t initialised;
    uint8_t present;
    float dsa_value[4][2]; /* [channel][stage], dB */
    float dsa_step[4][2];  /* [channel][stage], dB per code step */
    float vdd_voltage;
    float vdcdc_voltage; /* meaningful in record 8 only */
    uint8_t vdd_on;
    uint8_t v5p0_on;
    uint8_t v3p3_on;
    uint8_t eeprom[QELT_EEPROM_IMAGE_SIZE];
    uint32_t eeprom_len;
    uint8_t eeprom_page_size;
    float temperature;
    float power_detect[4];
    float psu[6]; /* VDD I, VDD V, 3.3V I, 3.3V V, 5.0V I, 5.0V V */
    uint8_t psu_alert;
} qelt_slice;

/* The system-on-module's rail readings and configuration EEPROM fields.
 * The text fields carry no terminator of their own. */
typedef struct qelt_som {
    float psu[6];
    char revision[8];
    char sku[16];
    char serial[16];
    uint8_t date[3]; /* minutes since 1996-01-01, least significant first */
    uint8_t macid[6];
} qelt_som;

/* Handle on an i2c-dev node; lives inside one library call. */
typedef struct qelt_i2c {
    const char *path;
    int fd;
    uint8_t wbuf[128];
    uint8_t wlen;
    uint8_t rbuf[128];
    uint8_t rlen;
} qelt_i2c;

/* Handle on a spidev node; lives inside one library call. */
typedef struct qelt_spidev {
    const char *path;
    int fd;
    uint32_t mode;
    uint64_t len;
    uint8_t *tx_buf;
    uint8_t *rx_buf;
    uint16_t delay_usecs;
    uint32_t speed_hz;
    uint16_t bits_per_word;
} qelt_spidev;

/* Handle on one mapped page of an AXI GPIO block. */
typedef struct qelt_gpio {
    void *map;
    int fd;
    uint32_t base;
    uint32_t offset;
    uint32_t wdata;
    uint32_t rdata;
} qelt_gpio;

/* Diagnostics gate: 0 off, 1 errors, 2 also warnings, 3 everything. */
QELT_API extern uint8_t qelt_log_level;
/* Rail alert thresholds in mA, entry = rail * 9 + slice
 * (rail 0 VDD, 1 3.3 V, 2 5.0 V). */
QELT_API extern float ina3221_wa_levels[27];
QELT_API extern float ina3221_ca_levels[27];

/* Library frame */
QELT_API int qelt_read_sw_version(uint8_t version[2]);
QELT_API void hex_dump(const void *data, uint64_t n, uint64_t per_line, const char *prefix);
QELT_API void dump_buff(const uint8_t *buf, uint32_t n);

/* I2C access and slice multiplexer */
QELT_API int qelt_i2c_init(qelt_i2c *h);
QELT_API int qelt_i2c_devselect(qelt_i2c *h, uint8_t addr);
QELT_API int qelt_i2c_write(qelt_i2c *h);
QELT_API int qelt_i2c_read(qelt_i2c *h);
QELT_API int qelt_i2c_mux_enable(qelt_i2c *h, uint8_t channel);
QELT_API int qelt_i2c_close(qelt_i2c *h);

/* SPI and attenuators */
QELT_API int qelt_spidev_init(qelt_spidev *h, uint8_t mode);
QELT_API int qelt_spidev_transfer(qelt_spidev *h);
QELT_API int qelt_spidev_close(qelt_spidev *h);
QELT_API int qelt_dsa_write(qelt_slice *table, uint8_t slice, uint8_t channel, uint8_t stage);

/* Memory-mapped GPIO blocks */
QELT_API int qelt_gpio_open(qelt_gpio *h);
QELT_API int qelt_gpio_read(qelt_gpio *h);
QELT_API int qelt_gpio_write(qelt_gpio *h);
QELT_API int qelt_gpio_close(qelt_gpio *h);
QELT_API uint32_t qelt_framecount_readback(void);
QELT_API int qelt_framesync_delay(uint32_t value);
QELT_API int qelt_fb_switch(qelt_slice *table, uint8_t gui, uint8_t adc8, uint8_t adc9);
QELT_API int qelt_slgpio_swmatrix(qelt_slice *table, uint8_t slice, uint8_t gpio, uint8_t type,
                                  uint8_t value);
QELT_API int qelt_led_status(uint8_t led);
QELT_API int qelt_led_set(uint8_t led);
QELT_API int qelt_led_clear(uint8_t led);
QELT_API int qelt_led_toggle(uint8_t led);

/* EEPROM storage */
QELT_API int qelt_eeprom_read(qelt_slice *table, uint8_t slice);
QELT_API int qelt_eeprom_write(qelt_slice *table, uint8_t slice);
QELT_API int qelt_eeprom_clear(qelt_slice *table, uint8_t slice);
QELT_API int qelt_bb_eeprom_read(uint8_t *buf, int *len);
QELT_API int qelt_bb_eeprom_write(const uint8_t *buf, uint32_t n);

/* Slice power rails */
QELT_API int qelt_setup_vdcdc(float voltage);
QELT_API int qelt_vdd_enable(qelt_slice *table, uint8_t slice, uint8_t onoff, uint8_t code);
QELT_API int qelt_v5p0_enable(qelt_slice *table, uint8_t slice, uint8_t onoff);
QELT_API int qelt_v3p3_enable(qelt_slice *table, uint8_t slice, uint8_t onoff);
QELT_API int qelt_vdd_set(qelt_slice *table, uint8_t slice);

/* Power monitoring and alert thresholds */
QELT_API int qelt_read_psu(qelt_slice *table, uint8_t slice);
QELT_API int qelt_read_som_psu(qelt_som *som);
QELT_API int qelt_cfg_slice_psu(qelt_slice *table, uint8_t slice);

/* Interrupt detection and parsing */
QELT_API int qelt_detect_intr(qelt_slice *table);
QELT_API int qelt_psu_intr_detect(qelt_slice *table);
QELT_API int qelt_intr_parse(qelt_slice *table);

/* Slice detection and boot */
QELT_API int qelt_init_boot(qelt_slice *table);
QELT_API int qelt_power_detect(qelt_slice *table, uint8_t slice, uint8_t channel);

/* Board temperature and SOM configuration */
QELT_API int qelt_board_temperature(qelt_slice *table, uint8_t slice);
QELT_API int qelt_som_config_read(qelt_som *som);

/* Board lock (since version node QELT_1.2).
 *
 * The multiplexer setting, the slice select and the control register are
 * state of the board: every operation above holds the board lock while it
 * runs, so no two of them interleave their bus traffic, whichever thread or
 * process calls them. A caller that composes a sequence of the I2C or GPIO
 * primitives itself (a multiplexer selection followed by transfers to the
 * device behind it, say) takes the lock around the whole sequence, so that
 * no one switches the multiplexer or the slice select in between.
 *
 * The lock is recursive within a process (operations may be called while it
 * is held); across processes it is an advisory lock on
 * /tmp/qelt-board.lock. Each qelt_board_lock is matched by one
 * qelt_board_unlock in the same thread; while a thread holds the lock,
 * every other caller waits, so hold it for one sequence, not longer.
 * qelt_board_lock returns 0 (a lock file that cannot be opened is reported
 * once and the lock works within the process only). qelt_board_unlock
 * returns 0, or 1 when the calling thread does not hold the lock. */
QELT_API int qelt_board_lock(void);
QELT_API int qelt_board_unlock(void);

#ifdef __cplusplus
}
#endif

#endif /* QELT_QELT_H */
