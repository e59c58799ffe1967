/* The public header must compile as C as well as C++. */
#include <qelt/qelt.h>

int qelt_header_check(void);
int qelt_header_check(void)
{
    qelt_slice table[QELT_SLICE_COUNT];
    table[0].present = 0;
    return (int)(sizeof(qelt_som) + sizeof(qelt_i2c) + sizeof(qelt_spidev) + sizeof(qelt_gpio)) +
           qelt_dsa_write(table, 0, 0, 0);
}
