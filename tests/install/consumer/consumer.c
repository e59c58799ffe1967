/* A program of another project that uses the installed libqelt: it calls
 * the library and names the file the library was loaded from. */
#define _GNU_SOURCE
#include <qelt/qelt.h>

#include <dlfcn.h>
#include <stdio.h>

int main(void)
{
    uint8_t version[2];
    Dl_info from;
    if (qelt_read_sw_version(version) != 0 || dladdr((void *)qelt_read_sw_version, &from) == 0)
        return 1;
    printf("libqelt %u.%u from %s\n", version[1], version[0], from.dli_fname);
    return 0;
}
