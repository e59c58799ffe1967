// The slice configuration file. Rows of present slices carry 20 fields:
// present, initialised, rail bits, VDD set point, then value and step of
// every channel/stage pair; other slices get a fixed row of zeros. The last
// line is the VDCDC voltage, without a line end.
#include "slice_cfg.h"

#include "lock_file.h"
#include "log_line.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace slice_cfg {
namespace {

constexpr int row_fields = 20;
constexpr const char *zero_row = "0,0,0,0,0,0,0,0,0,0,0,0\n";

// Only the last record carries the board's one VDCDC voltage.
constexpr int vdcdc_record = QELT_SLICE_COUNT - 1;

constexpr int vdd_bit = 4;
constexpr int v3p3_bit = 2;
constexpr int v5p0_bit = 1;

constexpr int dsa_channels = 4;
constexpr int dsa_stages = 2;

void report_open_failure(const char *func, int line, const char *purpose)
{
    qelt::log_line::print(qelt::log_line::kind::error, func, line, "Unable to open file %s for %s!!!",
                          slice_cfg_path, purpose);
}

void report_lock_failure(const char *func, int line, int error)
{
    qelt::log_line::print(qelt::log_line::kind::error, func, line,
                          "Unable to open lock file %s (%s), updating without it!!!", lock_path,
                          std::strerror(error));
}

// Integer fields read like atoi, without its undefined overflow.
int int_field(const char *text)
{
    const long value = std::strtol(text, nullptr, 10);
    return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}

// Value fields read like atof; parsing straight to float keeps an
// out-of-range value at infinity instead of an undefined narrowing.
float value_field(const char *text) { return std::strtof(text, nullptr); }

void write_row(std::FILE *f, const qelt_slice &slice)
{
    if (slice.present != 1) {
        std::fputs(zero_row, f);
        return;
    }
    const int rails = slice.vdd_on * vdd_bit + slice.v3p3_on * v3p3_bit + slice.v5p0_on * v5p0_bit;
    std::fprintf(f, "%d,%d,%d,%0.2f", slice.present, slice.initialised, rails,
                 static_cast<double>(slice.vdd_voltage));
    for (int ch = 0; ch < dsa_channels; ++ch) {
        for (int st = 0; st < dsa_stages; ++st)
            std::fprintf(f, ",%0.2f,%0.2f", static_cast<double>(slice.dsa_value[ch][st]),
                         static_cast<double>(slice.dsa_step[ch][st]));
    }
    std::fputc('\n', f);
}

// False when any part of the table failed to reach the file.
bool write_table(std::FILE *f, const qelt_slice *table)
{
    for (int i = 0; i < QELT_SLICE_COUNT; ++i)
        write_row(f, table[i]);
    std::fprintf(f, "%0.2f", static_cast<double>(table[vdcdc_record].vdcdc_voltage));
    return std::fflush(f) == 0 && std::ferror(f) == 0 && fsync(fileno(f)) == 0;
}

// Writes a complete new file beside the old one and renames it into place:
// the other program never reads a half-written file, and a full disk or a
// crash leaves the previous settings rather than a truncated file.
bool replace_file(const qelt_slice *table)
{
    std::string temp = std::string(slice_cfg_path) + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0)
        return false;
    std::FILE *f = fdopen(fd, "w");
    if (f == nullptr) {
        close(fd);
        unlink(temp.c_str());
        return false;
    }
    // mkstemp makes the file private to its owner; give it the mode a
    // plainly created file gets under the usual umask.
    const bool written = fchmod(fd, 0644) == 0 && write_table(f, table);
    const bool closed = std::fclose(f) == 0;
    if (written && closed && std::rename(temp.c_str(), slice_cfg_path) == 0)
        return true;
    unlink(temp.c_str());
    return false;
}

// getline's buffer grows to the longest line, so rows of any length are
// read whole.
class line_reader {
  public:
    explicit line_reader(std::FILE *f) : file_(f) {}
    ~line_reader() { std::free(buf_); }
    line_reader(const line_reader &) = delete;
    line_reader &operator=(const line_reader &) = delete;

    // The next line, with its line end if it has one; nullptr at the end.
    char *next() { return getline(&buf_, &cap_, file_) < 0 ? nullptr : buf_; }

  private:
    std::FILE *file_;
    char *buf_ = nullptr;
    std::size_t cap_ = 0;
};

// Only a complete row of a present slice is applied: a row cut short would
// otherwise mix settings from the file with those in memory.
void apply_row(char *row, qelt_slice &slice)
{
    std::array<char *, row_fields> fields{};
    int count = 0;
    split_fields(row, fields.data(), row_fields, &count);
    if (count < row_fields || int_field(fields[0]) != 1)
        return;
    slice.present = 1;
    slice.initialised = static_cast<uint8_t>(int_field(fields[1]));
    const int rails = int_field(fields[2]);
    slice.vdd_on = (rails & vdd_bit) != 0;
    slice.v3p3_on = (rails & v3p3_bit) != 0;
    slice.v5p0_on = (rails & v5p0_bit) != 0;
    slice.vdd_voltage = value_field(fields[3]);
    int next = 4;
    for (int ch = 0; ch < dsa_channels; ++ch) {
        for (int st = 0; st < dsa_stages; ++st) {
            slice.dsa_value[ch][st] = value_field(fields[next++]);
            slice.dsa_step[ch][st] = value_field(fields[next++]);
        }
    }
}

void read_table(std::FILE *f, qelt_slice *table)
{
    line_reader lines(f);
    for (int i = 0; i < QELT_SLICE_COUNT; ++i) {
        char *row = lines.next();
        if (row == nullptr)
            return;
        apply_row(row, table[i]);
    }
    if (const char *vdcdc = lines.next())
        table[vdcdc_record].vdcdc_voltage = value_field(vdcdc);
}

} // namespace

update_lock::update_lock() : fd_(qelt::lock_file::acquire(lock_path))
{
    if (fd_ < 0)
        report_lock_failure(__func__, __LINE__, errno);
}

update_lock::~update_lock()
{
    if (fd_ >= 0)
        qelt::lock_file::release(fd_);
}

bool exists() { return access(slice_cfg_path, F_OK) == 0; }

int create_file(const qelt_slice *table)
{
    if (!replace_file(table)) {
        report_open_failure(__func__, __LINE__, "writing");
        return 1;
    }
    return 0;
}

int sync_file(qelt_slice *table)
{
    std::FILE *f = std::fopen(slice_cfg_path, "r");
    if (f == nullptr) {
        report_open_failure(__func__, __LINE__, "read");
        return 1;
    }
    read_table(f, table);
    std::fclose(f);
    return 0;
}

int split_fields(char *line, char **fields, int max_fields, int *count)
{
    // Only the first field runs up to a comma alone; a line end also closes
    // the later ones, so the last field of a row comes without it.
    const char *separators = ",";
    char *p = line;
    int n = 0;
    while (n < max_fields) {
        p += std::strspn(p, separators);
        if (*p == '\0')
            break;
        fields[n++] = p;
        p += std::strcspn(p, separators);
        if (*p != '\0')
            *p++ = '\0';
        separators = ",\n";
    }
    *count = n;
    return 0;
}

} // namespace slice_cfg
