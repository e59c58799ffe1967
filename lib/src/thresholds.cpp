// Rail alert thresholds in mA, entry = rail * 9 + slice. The command server
// overwrites a slice's entries before it programs that slice's monitor.
#include <qelt/qelt.h>

#define QELT_NINE(v) v, v, v, v, v, v, v, v, v

float ina3221_wa_levels[27] = {QELT_NINE(700.0f), QELT_NINE(8.0f), QELT_NINE(500.0f)};
float ina3221_ca_levels[27] = {QELT_NINE(700.0f), QELT_NINE(8.0f), QELT_NINE(500.0f)};
