// LD_PRELOAD interposer: the device nodes the library uses ("/dev/mem",
// "/dev/spidev2.0".."/dev/spidev2.3", "/dev/i2c-0", "/dev/i2c-1") are served
// by the simulated board named by $QELT_SIM_BOARD, with the kernel's ioctl
// ABI. Every other file, socket and call goes to the C library untouched,
// and no other device node is ever reached: unknown i2c and spidev nodes do
// not exist here. Sleeps go to the C library too, and are noted in the
// trace against the thread's last I2C message.
#include "board_file.h"
#include "models.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <linux/spi/spidev.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

using namespace qsim;

// The C library's function behind an interposed name, looked up once.
#define QSIM_REAL(name)                                                                                      \
    ([] {                                                                                                    \
        static const auto f = reinterpret_cast<decltype(&::name)>(dlsym(RTLD_NEXT, #name));                  \
        return f;                                                                                            \
    }())

enum class node : std::uint8_t { none, mem, spi, i2c };

struct open_node {
    std::atomic<node> kind{node::none};
    std::uint8_t unit = 0; // chip select or bus number
    std::uint8_t addr = 0; // I2C target address
};

constexpr int max_fds = 4096;
open_node nodes[max_fds];

// Guards the board mapping and the mapping list. Recursive because
// replacing the mapping unmaps through this very interposer.
std::recursive_mutex process_lock;
std::unique_ptr<board_map> current;
struct mem_mapping {
    void *addr;
    size_t len;
    std::uint64_t phys;
};
std::vector<mem_mapping> mappings;

// The board for this moment: the environment may name a new one between
// two tests of the same process.
board_map *board_for_devices()
{
    const std::string path = default_board_path();
    if (current && current->path() == path)
        return current.get();
    current.reset();
    try {
        current = std::make_unique<board_map>(path);
    } catch (...) {
        return nullptr;
    }
    return current.get();
}

bool classify(const char *path, node &kind, std::uint8_t &unit)
{
    if (std::strcmp(path, "/dev/mem") == 0) {
        kind = node::mem;
        return true;
    }
    static constexpr char spi_prefix[] = "/dev/spidev";
    static constexpr char i2c_prefix[] = "/dev/i2c-";
    if (std::strncmp(path, spi_prefix, sizeof spi_prefix - 1) == 0) {
        kind = node::spi;
        const char *rest = path + sizeof spi_prefix - 1;
        unit =
            (std::strlen(rest) == 3 && rest[0] == '2' && rest[1] == '.' && rest[2] >= '0' && rest[2] <= '3')
                ? static_cast<std::uint8_t>(rest[2] - '0')
                : 0xFF;
        return true;
    }
    if (std::strncmp(path, i2c_prefix, sizeof i2c_prefix - 1) == 0) {
        kind = node::i2c;
        const char *rest = path + sizeof i2c_prefix - 1;
        unit = (std::strlen(rest) == 1 && (rest[0] == '0' || rest[0] == '1'))
                   ? static_cast<std::uint8_t>(rest[0] - '0')
                   : 0xFF;
        return true;
    }
    return false;
}

int fail(int err)
{
    errno = err;
    return -1;
}

open_node *emulated(int fd)
{
    if (fd < 0 || fd >= max_fds || nodes[fd].kind.load(std::memory_order_acquire) == node::none)
        return nullptr;
    return &nodes[fd];
}

trace_entry entry(trace_kind kind, bool ok, std::uint8_t unit = 0, std::uint8_t addr = 0)
{
    trace_entry e{};
    e.kind = kind;
    e.ok = ok ? 1 : 0;
    e.bus = unit;
    e.addr = addr;
    e.slice = -1;
    return e;
}

int open_device(const char *path, int flags)
{
    node kind = node::none;
    std::uint8_t unit = 0;
    if (!classify(path, kind, unit))
        return -2; // not ours
    std::lock_guard<std::recursive_mutex> hold(process_lock);
    board_map *bm = board_for_devices();
    if (bm == nullptr || unit == 0xFF)
        return fail(ENOENT);
    board &b = bm->state();
    {
        board_lock lock(b);
        const bool refused = take_fault(b, fault_kind::open, -1, -1, 0, path) != nullptr;
        trace_entry e = entry(trace_kind::open, !refused, unit);
        record(b, e, {reinterpret_cast<const std::uint8_t *>(path), std::strlen(path)});
        if (refused)
            return fail(kind == node::mem ? EACCES : ENOENT);
    }
    // A real descriptor keeps the number unique and behaves on close/dup.
    const int fd = QSIM_REAL(open)("/dev/null", O_RDWR | (flags & O_CLOEXEC));
    if (fd < 0)
        return -1;
    if (fd >= max_fds) {
        QSIM_REAL(close)(fd);
        return fail(EMFILE);
    }
    nodes[fd].unit = unit;
    nodes[fd].addr = 0;
    nodes[fd].kind.store(kind, std::memory_order_release);
    return fd;
}

int do_open(const char *path, int flags, mode_t mode)
{
    const int fd = open_device(path, flags);
    return fd != -2 ? fd : QSIM_REAL(open)(path, flags, mode);
}

int i2c_ioctl(open_node &n, board &b, unsigned long request, unsigned long arg)
{
    switch (request) {
    case I2C_SLAVE:
    case I2C_SLAVE_FORCE: {
        const bool refused =
            arg > 0x7F || take_fault(b, fault_kind::i2c_select, n.unit, static_cast<int>(arg), 0, nullptr);
        trace_entry e = entry(trace_kind::i2c_address, !refused, n.unit, static_cast<std::uint8_t>(arg));
        e.value = static_cast<std::uint32_t>(request);
        record(b, e);
        if (refused)
            return fail(arg > 0x7F ? EINVAL : EBUSY);
        n.addr = static_cast<std::uint8_t>(arg);
        return 0;
    }
    case I2C_FUNCS:
        *reinterpret_cast<unsigned long *>(arg) = I2C_FUNC_I2C;
        return 0;
    case I2C_TIMEOUT:
    case I2C_RETRIES:
    case I2C_PEC:
        // Settings the kernel keeps; the models need none.
        return 0;
    case I2C_TENBIT:
        // Seven-bit addresses, as everywhere on this board.
        return arg == 0 ? 0 : fail(EOPNOTSUPP);
    case I2C_RDWR:
    case I2C_SMBUS:
        // The kernel does these, but combined transfers and SMBus calls are
        // not what this board's software uses: refusing them makes a slip
        // visible.
        return fail(EOPNOTSUPP);
    default:
        return fail(ENOTTY);
    }
}

int spi_message(board_map &bm, open_node &n, const spi_ioc_transfer *tr, unsigned count)
{
    board &b = bm.state();
    // The transfer as the caller framed it, with the slice it was routed to.
    auto transfer_entry = [&](const spi_ioc_transfer &t, bool ok) {
        trace_entry e = entry(trace_kind::spi_transfer, ok, n.unit);
        e.value = *register_at(bm.file(), region::select, 0);
        e.spi = {t.cs_change, t.tx_nbits, t.rx_nbits, t.tx_buf != 0, t.rx_buf != 0};
        return e;
    };
    if (take_fault(b, fault_kind::spi_xfer, -1, n.unit, 0, nullptr)) {
        record(b, transfer_entry(tr[0], false));
        return fail(EIO);
    }
    int total = 0;
    for (unsigned i = 0; i < count; ++i) {
        if (tr[i].bits_per_word != 0 && tr[i].bits_per_word != 8)
            return fail(EINVAL);
        std::vector<std::uint8_t> tx(tr[i].len), rx(tr[i].len);
        if (tr[i].tx_buf != 0)
            std::memcpy(tx.data(), reinterpret_cast<const void *>(tr[i].tx_buf), tr[i].len);
        const trace_entry e = transfer_entry(tr[i], true);
        spi_transfer(bm.file(), n.unit,
                     tr[i].tx_buf != 0 ? std::span<const std::uint8_t>(tx) : std::span<const std::uint8_t>(),
                     rx);
        record(b, e, tx);
        if (tr[i].rx_buf != 0)
            std::memcpy(reinterpret_cast<void *>(tr[i].rx_buf), rx.data(), tr[i].len);
        total += static_cast<int>(tr[i].len);
    }
    return total;
}

// What spi_setup() makes of a requested mode on a controller that knows the
// four clock modes and an active-high chip select: multi-line transfers are
// dropped (the kernel warns), anything else it cannot do is refused.
int set_spi_mode(board &b, int cs, std::uint32_t mode)
{
    constexpr std::uint32_t multi_line =
        SPI_TX_DUAL | SPI_TX_QUAD | SPI_TX_OCTAL | SPI_RX_DUAL | SPI_RX_QUAD | SPI_RX_OCTAL;
    mode &= ~multi_line;
    if (take_fault(b, fault_kind::spi_mode, -1, cs, 0, nullptr) || (mode & ~(SPI_MODE_3 | SPI_CS_HIGH)) != 0)
        return fail(EINVAL);
    b.spi_mode[cs] = static_cast<std::uint8_t>(mode);
    return 0;
}

int spi_ioctl(board_map &bm, open_node &n, unsigned long request, unsigned long arg)
{
    board &b = bm.state();
    const int cs = n.unit;
    if (_IOC_TYPE(request) == SPI_IOC_MAGIC && _IOC_NR(request) == 0 && _IOC_DIR(request) == _IOC_WRITE) {
        const unsigned size = _IOC_SIZE(request);
        if (size % sizeof(spi_ioc_transfer) != 0)
            return fail(EINVAL);
        return spi_message(bm, n, reinterpret_cast<const spi_ioc_transfer *>(arg),
                           size / sizeof(spi_ioc_transfer));
    }
    switch (request) {
    case SPI_IOC_WR_MODE:
        return set_spi_mode(b, cs, *reinterpret_cast<std::uint8_t *>(arg));
    case SPI_IOC_WR_MODE32:
        return set_spi_mode(b, cs, *reinterpret_cast<std::uint32_t *>(arg));
    case SPI_IOC_RD_MODE:
        *reinterpret_cast<std::uint8_t *>(arg) = b.spi_mode[cs];
        return 0;
    case SPI_IOC_RD_MODE32:
        *reinterpret_cast<std::uint32_t *>(arg) = b.spi_mode[cs];
        return 0;
    case SPI_IOC_WR_BITS_PER_WORD:
        if (take_fault(b, fault_kind::spi_bits, -1, cs, 0, nullptr) ||
            *reinterpret_cast<std::uint8_t *>(arg) != 8)
            return fail(EINVAL);
        b.spi_bits[cs] = 8;
        return 0;
    case SPI_IOC_RD_BITS_PER_WORD:
        // Until a word size is set, the kernel's default of 8.
        *reinterpret_cast<std::uint8_t *>(arg) = b.spi_bits[cs] != 0 ? b.spi_bits[cs] : 8;
        return 0;
    case SPI_IOC_WR_MAX_SPEED_HZ:
        if (take_fault(b, fault_kind::spi_speed, -1, cs, 0, nullptr))
            return fail(EINVAL);
        b.spi_speed[cs] = *reinterpret_cast<std::uint32_t *>(arg);
        return 0;
    case SPI_IOC_RD_MAX_SPEED_HZ:
        *reinterpret_cast<std::uint32_t *>(arg) = b.spi_speed[cs];
        return 0;
    default:
        return fail(ENOTTY);
    }
}

// spidev's own read() and write(): one half-duplex transfer of the whole
// count, which must fit the driver's buffer.
ssize_t spi_half_duplex(open_node &n, void *buf, size_t len, bool is_write)
{
    constexpr size_t spidev_buffer = 4096;
    if (len > spidev_buffer)
        return fail(EMSGSIZE);
    spi_ioc_transfer t{};
    (is_write ? t.tx_buf : t.rx_buf) = reinterpret_cast<std::uintptr_t>(buf);
    t.len = static_cast<std::uint32_t>(len);
    std::lock_guard<std::recursive_mutex> hold(process_lock);
    board_map *bm = board_for_devices();
    if (bm == nullptr)
        return fail(ENODEV);
    board_lock lock(bm->state());
    return spi_message(*bm, n, &t, 1);
}

// This thread's last I2C transfer: a pause it asks for next is put down
// to that transfer, so a test sees each message's pause without timing it.
// Only the board lock is taken, which guards the trace: under the
// sanitizers, waiting here for the process lock upset concurrent calls.
constexpr std::uint64_t no_transfer = ~std::uint64_t{0};
thread_local std::uint64_t last_i2c_transfer = no_transfer;
thread_local board_map *last_i2c_board = nullptr;

void note_pause(std::uint64_t us)
{
    // A board replaced since (a new test's) is not the one the transfer used.
    if (last_i2c_transfer == no_transfer || last_i2c_board != current.get())
        return;
    board &b = last_i2c_board->state();
    board_lock lock(b);
    trace_entry &e = b.trace[last_i2c_transfer % trace_capacity];
    // The ring may have moved on, or been cleared, since.
    if (e.seq == last_i2c_transfer && last_i2c_transfer < b.trace_total && e.pid == getpid())
        e.pause_us += static_cast<std::uint32_t>(std::min<std::uint64_t>(us, UINT32_MAX - e.pause_us));
}

ssize_t i2c_transfer(open_node &n, void *buf, size_t len, bool is_write)
{
    std::lock_guard<std::recursive_mutex> hold(process_lock);
    board_map *bm = board_for_devices();
    if (bm == nullptr)
        return fail(ENODEV);
    board &b = bm->state();
    board_lock lock(b);
    auto *bytes = static_cast<std::uint8_t *>(buf);
    trace_entry e = entry(is_write ? trace_kind::i2c_write : trace_kind::i2c_read, false, n.unit, n.addr);
    i2c_result r{false, device_kind::none, -1};
    if (!take_fault(b, fault_kind::i2c_nack, n.unit, n.addr, is_write ? op_write : op_read, nullptr)) {
        r = is_write ? i2c_write(bm->file(), n.unit, n.addr, {bytes, len})
                     : i2c_read(bm->file(), n.unit, n.addr, {bytes, len});
    }
    e.ok = r.ack ? 1 : 0;
    e.device = r.who;
    e.slice = static_cast<std::int8_t>(r.slice);
    last_i2c_transfer = record(b, e, {bytes, r.ack || is_write ? len : 0});
    last_i2c_board = bm;
    if (!r.ack)
        return fail(ENXIO);
    return static_cast<ssize_t>(len);
}

// read() and write() on an emulated node: what its driver does with them.
ssize_t node_transfer(open_node &n, void *buf, size_t len, bool is_write)
{
    switch (n.kind.load()) {
    case node::i2c:
        return i2c_transfer(n, buf, len, is_write);
    case node::spi:
        return spi_half_duplex(n, buf, len, is_write);
    default:
        return fail(EINVAL);
    }
}

} // namespace

extern "C" {

// The mode argument of the open calls is there only when a file is created.
#define QSIM_OPTIONAL_MODE(flags, mode)                                                                      \
    do {                                                                                                     \
        if ((flags) & (O_CREAT | O_TMPFILE)) {                                                               \
            va_list ap;                                                                                      \
            va_start(ap, flags);                                                                             \
            (mode) = va_arg(ap, mode_t);                                                                     \
            va_end(ap);                                                                                      \
        }                                                                                                    \
    } while (0)

__attribute__((visibility("default"))) int open(const char *path, int flags, ...)
{
    mode_t mode = 0;
    QSIM_OPTIONAL_MODE(flags, mode);
    return do_open(path, flags, mode);
}

__attribute__((visibility("default"), alias("open"))) int open64(const char *path, int flags, ...);

__attribute__((visibility("default"))) int __open_2(const char *path, int flags)
{
    return do_open(path, flags, 0);
}
__attribute__((visibility("default"), alias("__open_2"))) int __open64_2(const char *path, int flags);

__attribute__((visibility("default"))) int openat(int dirfd, const char *path, int flags, ...)
{
    mode_t mode = 0;
    QSIM_OPTIONAL_MODE(flags, mode);
    if (path[0] == '/') {
        const int fd = open_device(path, flags);
        if (fd != -2)
            return fd;
    }
    return QSIM_REAL(openat)(dirfd, path, flags, mode);
}

__attribute__((visibility("default"))) int close(int fd)
{
    if (open_node *n = emulated(fd)) {
        n->kind.store(node::none, std::memory_order_release);
        std::lock_guard<std::recursive_mutex> hold(process_lock);
        if (board_map *bm = board_for_devices()) {
            board_lock lock(bm->state());
            record(bm->state(), entry(trace_kind::close, true, n->unit));
        }
    }
    return QSIM_REAL(close)(fd);
}

__attribute__((visibility("default"))) ssize_t read(int fd, void *buf, size_t len)
{
    if (open_node *n = emulated(fd); n != nullptr)
        return node_transfer(*n, buf, len, false);
    return QSIM_REAL(read)(fd, buf, len);
}

__attribute__((visibility("default"))) ssize_t __read_chk(int fd, void *buf, size_t len, size_t /*buflen*/)
{
    return read(fd, buf, len);
}

__attribute__((visibility("default"))) ssize_t write(int fd, const void *buf, size_t len)
{
    if (open_node *n = emulated(fd); n != nullptr)
        return node_transfer(*n, const_cast<void *>(buf), len, true);
    return QSIM_REAL(write)(fd, buf, len);
}

__attribute__((visibility("default"))) int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    const unsigned long arg = va_arg(ap, unsigned long);
    va_end(ap);
    open_node *n = emulated(fd);
    if (n == nullptr)
        return QSIM_REAL(ioctl)(fd, request, arg);
    std::lock_guard<std::recursive_mutex> hold(process_lock);
    board_map *bm = board_for_devices();
    if (bm == nullptr)
        return fail(ENODEV);
    board_lock lock(bm->state());
    switch (n->kind.load()) {
    case node::i2c:
        return i2c_ioctl(*n, bm->state(), request, arg);
    case node::spi:
        return spi_ioctl(*bm, *n, request, arg);
    default:
        return fail(ENOTTY);
    }
}

__attribute__((visibility("default"))) int usleep(useconds_t us)
{
    note_pause(us);
    return QSIM_REAL(usleep)(us);
}

__attribute__((visibility("default"))) int nanosleep(const timespec *req, timespec *rem)
{
    if (req != nullptr && req->tv_sec >= 0 && req->tv_nsec >= 0)
        note_pause(static_cast<std::uint64_t>(req->tv_sec) * 1000000u +
                   static_cast<std::uint64_t>(req->tv_nsec) / 1000u);
    return QSIM_REAL(nanosleep)(req, rem);
}

// A network error or a signal that a real accept() passes on, injected on
// the board's fault list: the server's connection loop must live through it.
int injected_accept_error()
{
    std::lock_guard<std::recursive_mutex> hold(process_lock);
    board_map *bm = board_for_devices();
    if (bm == nullptr)
        return 0;
    board_lock lock(bm->state());
    const fault *f = take_fault(bm->state(), fault_kind::accept, -1, -1, 0, nullptr);
    return f != nullptr ? f->error : 0;
}

__attribute__((visibility("default"))) int accept4(int fd, sockaddr *addr, socklen_t *len, int flags)
{
    if (const int error = injected_accept_error(); error != 0)
        return fail(error);
    return QSIM_REAL(accept4)(fd, addr, len, flags);
}

__attribute__((visibility("default"))) int accept(int fd, sockaddr *addr, socklen_t *len)
{
    return accept4(fd, addr, len, 0);
}

__attribute__((visibility("default"))) void *mmap(void *addr, size_t len, int prot, int flags, int fd,
                                                  off_t offset)
{
    open_node *n = emulated(fd);
    if (n == nullptr)
        return QSIM_REAL(mmap)(addr, len, prot, flags, fd, offset);
    std::lock_guard<std::recursive_mutex> hold(process_lock);
    board_map *bm = board_for_devices();
    if (n->kind != node::mem || bm == nullptr) {
        errno = ENODEV;
        return MAP_FAILED;
    }
    board &b = bm->state();
    board_lock lock(b);
    const auto phys = static_cast<std::uint64_t>(offset);
    // Whole pages of the running kernel's size, inside what the board decodes.
    const auto page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    const std::int64_t first = window_offset(phys);
    const auto span = static_cast<std::int64_t>(len);
    const bool decoded =
        len > 0 && phys % page == 0 && first >= 0 && window_offset(phys + len - 1) == first + span - 1;
    const bool refused = !decoded || take_fault(b, fault_kind::mem_map, -1, -1, 0, nullptr) != nullptr;
    trace_entry e = entry(trace_kind::mem_map, !refused);
    e.value = static_cast<std::uint32_t>(phys);
    record(b, e);
    if (refused) {
        errno = decoded ? EPERM : EINVAL;
        return MAP_FAILED;
    }
    void *m = QSIM_REAL(mmap)(addr, len, prot, flags, bm->fd(), static_cast<off_t>(first));
    if (m != MAP_FAILED)
        mappings.push_back({m, len, phys});
    return m;
}

__attribute__((visibility("default"), alias("mmap"))) void *mmap64(void *addr, size_t len, int prot,
                                                                   int flags, int fd, off_t offset);

__attribute__((visibility("default"))) int munmap(void *addr, size_t len)
{
    {
        std::lock_guard<std::recursive_mutex> hold(process_lock);
        for (auto it = mappings.begin(); it != mappings.end(); ++it) {
            if (it->addr != addr)
                continue;
            if (current) {
                board_lock lock(current->state());
                trace_entry e = entry(trace_kind::mem_unmap, true);
                e.value = static_cast<std::uint32_t>(it->phys);
                record(current->state(), e);
            }
            mappings.erase(it);
            break;
        }
    }
    return QSIM_REAL(munmap)(addr, len);
}

} // extern "C"
