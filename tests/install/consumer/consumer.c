/* A program of another project that uses the installed libqelt: it calls
 * the library and names the file the library was loaded from. */
#define _GNU_SOURCE
#include <qelt/qelt.h>

#include <link.h>
#include <stdio.h>
#include <string.h>

static int print_libqelt(struct dl_phdr_info *info, size_t size, void *data)
{
    (void)size;
    (void)data;
    const char *slash = strrchr(info->dlpi_name, '/');
    if (slash == NULL || strncmp(slash + 1, "libqelt.so", strlen("libqelt.so")) != 0)
        return 0;
    printf("from %s\n", info->dlpi_name);
    return 1;
}

int main(void)
{
    uint8_t version[2];
    if (qelt_read_sw_version(version) != 0)
        return 1;
    printf("libqelt %u.%u ", version[1], version[0]);
    return dl_iterate_phdr(print_libqelt, NULL) == 1 ? 0 : 1;
}
