/* The public header must compile as C as well as C++. */
#include <qelt/qelt.h>

int qelt_header_check(void);
int qelt_header_check(void)
{
    qelt_slice table[QELT_SLICE_COUNT];
    qelt_som som;
    qelt_i2c i2c;
    qelt_spidev spi;
    qelt_gpio gpio;
    (void)som;
    (void)i2c;
    (void)spi;
    (void)gpio;
    table[0].present = 0;
    return qelt_dsa_write(table, 0, 0, 0);
}
