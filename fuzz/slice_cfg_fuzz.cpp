// The slice configuration file reader on arbitrary file contents, then the
// writer on whatever the reader made of them: the flags of every slice the
// reader accepted must come back unchanged from the file written.
#include "isolation.h"
#include "slice_cfg.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>

namespace {

void write_config(const std::uint8_t *data, std::size_t size)
{
    const int fd = open(slice_cfg_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size))
        __builtin_trap();
    close(fd);
}

bool same_flags(const qelt_slice &a, const qelt_slice &b)
{
    return a.present == b.present && a.initialised == b.initialised && a.vdd_on == b.vdd_on &&
           a.v3p3_on == b.v3p3_on && a.v5p0_on == b.v5p0_on;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qelt_test::isolate_tmp(); // the file's path is fixed: never the machine's own
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    write_config(data, size);
    qelt_slice read[QELT_SLICE_COUNT] = {};
    if (slice_cfg::sync_file(read) != 0)
        __builtin_trap();
    if (slice_cfg::create_file(read) != 0)
        __builtin_trap();
    qelt_slice again[QELT_SLICE_COUNT] = {};
    if (slice_cfg::sync_file(again) != 0)
        __builtin_trap();
    for (int i = 0; i < QELT_SLICE_COUNT; ++i)
        if (read[i].present == 1 && !same_flags(read[i], again[i]))
            __builtin_trap();
    return 0;
}
