// qelt-sim: create, inspect and drive the simulated board, and run programs
// on it.
#include "board_file.h"
#include "models.h"
#include "show.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace qsim;
using args = std::vector<std::string>;

constexpr const char *usage_text = R"(usage: qelt-sim [--board FILE] COMMAND [ARGS]

The board file defaults to $QELT_SIM_BOARD, else ./qelt-sim.board.

  create [SLICES]               new board; SLICES like 0,3,5-8, all or none
  fit SLICE... | remove SLICE...  fit or remove slices (flips the presence pin)
  show                          the board at a glance
  get ADDR | set ADDR VALUE     32-bit register at a physical address
  get DEV REG | set DEV REG VALUE
                                device register; DEV: mux0 mux1 vdcdc
                                expander:N monitor:N monitor:som sensor:N
  current SLICE RAIL AMPS       monitor reading; SLICE 0..8 or som,
  voltage SLICE RAIL VOLTS      RAIL vdd, 3v3 or 5v0
  temperature SLICE CELSIUS     sensor reading of slice 5..8
  temperature SLICE stuck|ok    conversion never finishes / back to normal
  eeprom TARGET dump [LEN]      TARGET: slice:N, bb or som
  eeprom TARGET load FILE [ADDR]
  eeprom TARGET erase | protect on|off
  som-config [sku=T] [serial=T] [revision=T] [date=MINUTES] [mac=HEX12]
  fault open PATH | mem | mem-map
  fault spi-xfer|spi-mode|spi-bits|spi-speed [CS]
  fault i2c-select BUS ADDR
  fault i2c-nack BUS ADDR [read|write]
  fault accept ERRNO            accept() fails, e.g. with ECONNABORTED
                                every fault takes [skip=N] [count=N]
  fault clear | fault list
  trace [clear]                 bus transactions in order
  run PROGRAM [ARGS...]         run a program on this board
)";

[[noreturn]] void usage()
{
    std::fputs(usage_text, stderr);
    std::exit(2);
}

unsigned long number(const std::string &text, unsigned long max)
{
    char *end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || errno != 0 || v > max)
        throw std::runtime_error("not a number in range: " + text);
    return v;
}

double real_number(const std::string &text)
{
    char *end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(v))
        throw std::runtime_error("not a number: " + text);
    return v;
}

int slice_number(const std::string &text) { return static_cast<int>(number(text, slice_count - 1)); }

std::uint16_t slices_mask(const std::string &list)
{
    if (list == "all")
        return 0x1FF;
    if (list == "none" || list.empty())
        return 0;
    std::uint16_t mask = 0;
    std::size_t pos = 0;
    while (pos <= list.size()) {
        const std::size_t comma = list.find(',', pos);
        const std::string item =
            list.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        const std::size_t dash = item.find('-');
        const int first = slice_number(item.substr(0, dash));
        const int last = dash == std::string::npos ? first : slice_number(item.substr(dash + 1));
        for (int s = first; s <= last; ++s)
            mask = static_cast<std::uint16_t>(mask | (1u << s));
        if (comma == std::string::npos)
            break;
        pos = comma + 1;
    }
    return mask;
}

// A device register named on the command line.
struct device_register {
    enum { byte_reg, word_reg } width;
    void *reg;
};

device_register find_register(board &b, const std::string &dev, const std::string &reg_text)
{
    const std::size_t colon = dev.find(':');
    const std::string kind = dev.substr(0, colon);
    const std::string which = colon == std::string::npos ? "" : dev.substr(colon + 1);
    if (kind == "mux0" || kind == "mux1")
        return {device_register::byte_reg, &b.mux[kind == "mux1"].control};
    if (kind == "vdcdc")
        return {device_register::byte_reg, &b.regulator.reg[number(reg_text, 15)]};
    if (kind == "expander")
        return {device_register::byte_reg, &b.slices[slice_number(which)].io.reg[number(reg_text, 7)]};
    if (kind == "monitor") {
        monitor &m = which == "som" ? b.som_monitor : b.slices[slice_number(which)].rails;
        return {device_register::word_reg, &m.reg[number(reg_text, 0xFF)]};
    }
    if (kind == "sensor")
        return {device_register::word_reg, &b.slices[slice_number(which)].sensor.reg[number(reg_text, 3)]};
    throw std::runtime_error("unknown device: " + dev);
}

monitor &monitor_of(board &b, const std::string &slice)
{
    return slice == "som" ? b.som_monitor : b.slices[slice_number(slice)].rails;
}

int rail_channel(const std::string &rail)
{
    if (rail == "vdd")
        return 0;
    if (rail == "3v3")
        return 1;
    if (rail == "5v0")
        return 2;
    throw std::runtime_error("unknown rail: " + rail);
}

// Register value nearest to a reading; `per_step` is the weight of one
// step of bits 15..3.
std::uint16_t reading_code(double value, double per_step)
{
    const long steps = std::lround(value / per_step);
    if (steps < -4096 || steps > 4095)
        throw std::runtime_error("reading out of the monitor's range");
    return static_cast<std::uint16_t>(steps * 8);
}

eeprom &eeprom_of(board &b, const std::string &target)
{
    if (target == "bb")
        return b.bb_eeprom;
    if (target == "som")
        return b.som_eeprom;
    if (target.rfind("slice:", 0) == 0)
        return b.slices[slice_number(target.substr(6))].storage;
    throw std::runtime_error("unknown EEPROM: " + target);
}

void eeprom_command(board &b, const args &a)
{
    if (a.size() < 2)
        usage();
    eeprom &e = eeprom_of(b, a[0]);
    const std::uint32_t size = e.size == 0 ? sizeof e.mem : e.size;
    if (a[1] == "dump") {
        const unsigned long len = a.size() > 2 ? number(a[2], size) : 64;
        for (unsigned long i = 0; i < len; ++i)
            std::printf("%s%02x", i % 16 == 0 ? (i ? "\n" : "") : " ", e.mem[i]);
        std::puts("");
    } else if (a[1] == "load" && a.size() >= 3) {
        std::ifstream in(a[2], std::ios::binary);
        if (!in)
            throw std::runtime_error("cannot read " + a[2]);
        const std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
        const unsigned long at = a.size() > 3 ? number(a[3], size - 1) : 0;
        if (at + bytes.size() > size)
            throw std::runtime_error("data does not fit the EEPROM");
        std::memcpy(e.mem + at, bytes.data(), bytes.size());
    } else if (a[1] == "erase") {
        std::memset(e.mem, 0xFF, sizeof e.mem);
    } else if (a[1] == "protect" && a.size() == 3) {
        e.write_protect = a[2] == "on";
    } else {
        usage();
    }
}

void put_text(std::uint8_t *at, std::size_t room, const std::string &text)
{
    std::memset(at, 0, room);
    std::memcpy(at, text.data(), std::min(room, text.size()));
}

void som_config(board &b, const args &a)
{
    std::uint8_t *mem = b.som_eeprom.mem;
    for (const std::string &item : a) {
        const std::size_t eq = item.find('=');
        if (eq == std::string::npos)
            usage();
        const std::string key = item.substr(0, eq), value = item.substr(eq + 1);
        if (key == "sku")
            put_text(mem + 0x16, 16, value);
        else if (key == "serial")
            put_text(mem + 0x27, 16, value);
        else if (key == "revision")
            put_text(mem + 0x44, 8, value);
        else if (key == "date") {
            const unsigned long minutes = number(value, 0xFFFFFF);
            for (int i = 0; i < 3; ++i)
                mem[0x0B + i] = static_cast<std::uint8_t>(minutes >> (8 * i));
        } else if (key == "mac") {
            const unsigned long long mac = std::strtoull(value.c_str(), nullptr, 16);
            for (int i = 0; i < 6; ++i)
                mem[0x83 + i] = static_cast<std::uint8_t>(mac >> (8 * (5 - i)));
        } else {
            usage();
        }
    }
}

// The errno value of a name such as "EINTR".
int errno_named(const std::string &name)
{
    for (int e = 1; e < 4096; ++e)
        if (const char *n = strerrorname_np(e); n != nullptr && name == n)
            return e;
    usage();
}

fault fault_from(const args &a)
{
    if (a.empty())
        usage();
    fault f = make_fault(fault_kind::none);
    std::size_t next = 1;
    const std::string &kind = a[0];
    if (kind == "open" && a.size() > 1) {
        f.kind = fault_kind::open;
        std::snprintf(f.path, sizeof f.path, "%s", a[1].c_str());
        next = 2;
    } else if (kind == "mem") {
        f.kind = fault_kind::open;
        std::snprintf(f.path, sizeof f.path, "/dev/mem");
    } else if (kind == "mem-map") {
        f.kind = fault_kind::mem_map;
    } else if (kind.rfind("spi-", 0) == 0) {
        f.kind = kind == "spi-xfer"    ? fault_kind::spi_xfer
                 : kind == "spi-mode"  ? fault_kind::spi_mode
                 : kind == "spi-bits"  ? fault_kind::spi_bits
                 : kind == "spi-speed" ? fault_kind::spi_speed
                                       : (usage(), fault_kind::none);
        if (a.size() > 1 && a[1].find('=') == std::string::npos) {
            f.addr = static_cast<std::uint8_t>(number(a[1], 3));
            next = 2;
        }
    } else if ((kind == "i2c-select" || kind == "i2c-nack") && a.size() >= 3) {
        f.kind = kind == "i2c-select" ? fault_kind::i2c_select : fault_kind::i2c_nack;
        f.bus = static_cast<std::uint8_t>(number(a[1], 1));
        f.addr = static_cast<std::uint8_t>(number(a[2], 0x7F));
        next = 3;
        if (a.size() > 3 && (a[3] == "read" || a[3] == "write")) {
            f.ops = a[3] == "read" ? op_read : op_write;
            next = 4;
        }
    } else if (kind == "accept" && a.size() > 1) {
        f.kind = fault_kind::accept;
        f.error = errno_named(a[1]);
        next = 2;
    } else {
        usage();
    }
    for (; next < a.size(); ++next) {
        if (a[next].rfind("skip=", 0) == 0)
            f.skip = static_cast<std::int32_t>(number(a[next].substr(5), INT_MAX));
        else if (a[next].rfind("count=", 0) == 0)
            f.count = static_cast<std::int32_t>(number(a[next].substr(6), INT_MAX));
        else
            usage();
    }
    return f;
}

const char *fault_name(fault_kind k)
{
    static const char *names[] = {"none",     "open",      "mem-map",  "spi-mode",
                                  "spi-bits", "spi-speed", "spi-xfer", "i2c-select",
                                  "i2c-nack", "accept"};
    return names[static_cast<int>(k)];
}

void fault_command(board &b, const args &a)
{
    if (a.size() == 1 && a[0] == "clear") {
        std::memset(b.faults, 0, sizeof b.faults);
        return;
    }
    if (a.size() == 1 && a[0] == "list") {
        for (const fault &f : b.faults)
            if (f.kind != fault_kind::none)
                std::printf("%s bus %d addr %d path '%s' skip %d count %d\n", fault_name(f.kind),
                            f.bus == fault_any ? -1 : f.bus, f.addr == fault_any ? -1 : f.addr, f.path,
                            f.skip, f.count);
        return;
    }
    if (!add_fault(b, fault_from(a)))
        throw std::runtime_error("fault table full");
}

void trace_command(board &b, const args &a)
{
    if (!a.empty() && a[0] == "clear") {
        b.trace_total = 0;
        return;
    }
    const std::uint64_t first = b.trace_total > trace_capacity ? b.trace_total - trace_capacity : 0;
    for (std::uint64_t i = first; i < b.trace_total; ++i)
        show_trace_entry(b.trace[i % trace_capacity], stdout);
}

// What the caller preloads stays, ahead of the interposer (a sanitizer's
// runtime must come first); an interposer already in the list is not
// loaded twice.
std::string preload_list(const std::string &interposer)
{
    std::string list;
    const char *current = std::getenv("LD_PRELOAD");
    std::string text = current != nullptr ? current : "";
    std::replace(text.begin(), text.end(), ':', ' '); // either separates entries
    std::istringstream entries(text);
    for (std::string entry; entries >> entry;) {
        if (entry.ends_with(QELT_SIM_PRELOAD_NAME))
            continue;
        list += entry + ' ';
    }
    return list + interposer;
}

[[noreturn]] void run_command(const std::string &board_path, const args &a)
{
    if (a.empty())
        usage();
    // The interposer sits next to this program.
    char self[PATH_MAX] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) < 0)
        throw std::runtime_error("cannot locate the simulator library");
    std::string preload = self;
    preload = preload.substr(0, preload.rfind('/') + 1) + QELT_SIM_PRELOAD_NAME;
    char absolute[PATH_MAX];
    const std::string board = realpath(board_path.c_str(), absolute) ? absolute : board_path;
    setenv("QELT_SIM_BOARD", board.c_str(), 1);
    setenv("LD_PRELOAD", preload_list(preload).c_str(), 1);
    // Sanitizer builds: the runtime need not be first when the simulator is.
    setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 0);
    std::vector<char *> argv;
    for (const std::string &s : a)
        argv.push_back(const_cast<char *>(s.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    throw std::runtime_error("cannot run " + a[0] + ": " + std::strerror(errno));
}

int dispatch(const std::string &board_path, const std::string &cmd, const args &a)
{
    if (cmd == "create") {
        board_map::create(board_path, slices_mask(a.empty() ? "none" : a[0]));
        return 0;
    }
    if (cmd == "run")
        run_command(board_path, a);

    board_map m(board_path);
    board &b = m.state();
    board_lock hold(b);
    if (cmd == "show") {
        show_board(m.file(), stdout);
    } else if (cmd == "fit" || cmd == "remove") {
        for (const std::string &s : a)
            set_fitted(m.file(), slice_number(s), cmd == "fit");
    } else if ((cmd == "get" && a.size() == 1) || (cmd == "set" && a.size() == 2)) {
        const std::uint64_t phys = number(a[0], 0xFFFFFFFFFFFF);
        const std::int64_t at = window_offset(phys & ~std::uint64_t{3});
        if (at < 0)
            throw std::runtime_error("no register at " + a[0]);
        auto *reg = register_word(m.file(), at);
        if (cmd == "get")
            std::printf("0x%08x\n", *reg);
        else
            *reg = static_cast<std::uint32_t>(number(a[1], 0xFFFFFFFF));
    } else if ((cmd == "get" && a.size() == 2) || (cmd == "set" && a.size() == 3)) {
        const device_register r = find_register(b, a[0], a[1]);
        const bool word = r.width == device_register::word_reg;
        if (cmd == "get")
            std::printf(word ? "0x%04x\n" : "0x%02x\n",
                        word ? *static_cast<std::uint16_t *>(r.reg) : *static_cast<std::uint8_t *>(r.reg));
        else if (word)
            *static_cast<std::uint16_t *>(r.reg) = static_cast<std::uint16_t>(number(a[2], 0xFFFF));
        else
            *static_cast<std::uint8_t *>(r.reg) = static_cast<std::uint8_t>(number(a[2], 0xFF));
    } else if ((cmd == "current" || cmd == "voltage") && a.size() == 3) {
        monitor &mon = monitor_of(b, a[0]);
        const int ch = rail_channel(a[1]);
        const double value = real_number(a[2]);
        if (cmd == "current")
            mon.reg[1 + 2 * ch] = reading_code(value, 40e-6 / (ch == 2 ? 0.025 : 0.05));
        else
            mon.reg[2 + 2 * ch] = reading_code(value, 8e-3);
    } else if (cmd == "temperature" && a.size() == 2) {
        temp_sensor &t = b.slices[slice_number(a[0])].sensor;
        if (a[1] == "stuck" || a[1] == "ok")
            t.conversion_reads = a[1] == "stuck" ? 0xFFFF : 2;
        else {
            const long code = std::lround(real_number(a[1]) * 128);
            if (code < INT16_MIN || code > INT16_MAX)
                throw std::runtime_error("temperature out of the sensor's range");
            t.reg[0] = static_cast<std::uint16_t>(static_cast<std::int16_t>(code));
        }
    } else if (cmd == "eeprom") {
        eeprom_command(b, a);
    } else if (cmd == "som-config") {
        som_config(b, a);
    } else if (cmd == "fault") {
        fault_command(b, a);
    } else if (cmd == "trace") {
        trace_command(b, a);
    } else {
        usage();
    }
    update_alerts(m.file());
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    args a(argv + 1, argv + argc);
    std::string board_path = default_board_path();
    if (a.size() >= 2 && a[0] == "--board") {
        board_path = a[1];
        a.erase(a.begin(), a.begin() + 2);
    }
    if (a.empty())
        usage();
    const std::string cmd = a[0];
    a.erase(a.begin());
    try {
        return dispatch(board_path, cmd, a);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "qelt-sim: %s\n", e.what());
        return 1;
    }
}
