#include "exposition.h"

#include "convert.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <initializer_list>
#include <string_view>

namespace {

struct label {
    const char *name;
    std::string_view value;
};

constexpr const char *slice_names[QELT_SLICE_COUNT] = {"0", "1", "2", "3", "4", "5", "6", "7", "8"};
// As the host-side client names them, in the monitor's channel order.
constexpr const char *rail_names[3] = {"vdd", "3v3", "5v0"};
// As the server's commands number them.
constexpr const char *channel_names[4] = {"0", "1", "2", "3"};
constexpr const char *stage_names[2] = {"0", "1"};

// Families one after another. A family's HELP and TYPE lines are written
// with its first sample, so a family without samples leaves nothing.
class writer {
  public:
    void family(const char *name, const char *help)
    {
        name_ = name;
        help_ = help;
        started_ = false;
    }

    // Floats print as the shortest text that reads back as the same float
    // (0.35, not 0.349999994), doubles likewise.
    template <typename Number> void sample(std::initializer_list<label> labels, Number value)
    {
        if (!started_) {
            text_.append("# HELP ").append(name_).append(" ").append(help_).append("\n");
            text_.append("# TYPE ").append(name_).append(" gauge\n");
        }
        started_ = true;
        text_.append(name_);
        const char *separator = "{";
        for (const label &l : labels) {
            text_.append(separator).append(l.name).append("=\"").append(l.value).append("\"");
            separator = ",";
        }
        if (labels.size() != 0)
            text_.append("}");
        text_.append(" ");
        append_value(value);
        text_.append("\n");
    }

    std::string take() { return std::move(text_); }

  private:
    template <typename Number> void append_value(Number value)
    {
        if (std::isnan(value)) {
            text_.append("NaN");
        } else if (std::isinf(value)) {
            text_.append(value > 0 ? "+Inf" : "-Inf");
        } else {
            char buf[64];
            const auto result = std::to_chars(buf, buf + sizeof buf, value);
            text_.append(buf, result.ptr);
        }
    }

    std::string text_;
    const char *name_ = "";
    const char *help_ = "";
    bool started_ = false;
};

float flag(bool on) { return on ? 1.0f : 0.0f; }

// One sample per rail of a slice, the values in the rails' order.
void rail_samples(writer &out, int slice, const std::array<float, 3> &values)
{
    for (int r = 0; r < 3; ++r)
        out.sample({{"slice", slice_names[slice]}, {"rail", rail_names[r]}}, values[r]);
}

// The monitor's readings alternate current and voltage, rail by rail.
std::array<float, 3> currents(const std::array<float, 6> &psu) { return {psu[0], psu[2], psu[4]}; }
std::array<float, 3> voltages(const std::array<float, 6> &psu) { return {psu[1], psu[3], psu[5]}; }

void write_slices(writer &out, const board_snapshot &snap)
{
    const auto &slices = snap.slices;
    out.family("qelt_slice_present",
               "Whether a slice is fitted at the position (its expander's presence pin).");
    for (int s = 0; s < QELT_SLICE_COUNT; ++s)
        if (slices[s].present)
            out.sample({{"slice", slice_names[s]}}, flag(*slices[s].present));

    out.family("qelt_rail_alert", "Whether the slice's rail monitor holds its alert line low: a rail current "
                                  "above its warning limit.");
    for (int s = 0; s < QELT_SLICE_COUNT; ++s)
        if (slices[s].present.value_or(false))
            out.sample({{"slice", slice_names[s]}}, flag(slices[s].alert));

    out.family("qelt_rail_voltage_volts", "Bus voltage of a slice rail, read from its monitor.");
    for (int s = 0; s < QELT_SLICE_COUNT; ++s)
        if (slices[s].psu)
            rail_samples(out, s, voltages(*slices[s].psu));

    out.family("qelt_rail_current_amperes", "Current of a slice rail, read from its monitor.");
    for (int s = 0; s < QELT_SLICE_COUNT; ++s)
        if (slices[s].psu)
            rail_samples(out, s, currents(*slices[s].psu));

    out.family("qelt_rail_current_warning_amperes",
               "Warning limit of a slice rail's current, read back from its monitor.");
    for (int s = 0; s < QELT_SLICE_COUNT; ++s)
        if (slices[s].warning_amperes)
            rail_samples(out, s, *slices[s].warning_amperes);

    out.family("qelt_board_temperature_celsius",
               "Temperature of a slice board (slices 5 to 8 carry a sensor).");
    for (int s = 0; s < QELT_SLICE_COUNT; ++s)
        if (slices[s].celsius)
            out.sample({{"slice", slice_names[s]}}, *slices[s].celsius);
}

// What the slice configuration file says was last set: the hardware cannot
// be read back.
void write_settings(writer &out, const qelt_slice *table)
{
    out.family("qelt_rail_enabled", "Whether a slice rail was last switched on, as the slice configuration "
                                    "file records it.");
    for (int s = 0; s < QELT_SLICE_COUNT; ++s)
        if (table[s].present == 1)
            rail_samples(
                out, s,
                {flag(table[s].vdd_on != 0), flag(table[s].v3p3_on != 0), flag(table[s].v5p0_on != 0)});

    out.family("qelt_vdd_setpoint_volts",
               "VDD set point of a slice, as the slice configuration file records it.");
    for (int s = 0; s < QELT_SLICE_COUNT; ++s)
        if (table[s].present == 1)
            out.sample({{"slice", slice_names[s]}}, table[s].vdd_voltage);

    // The library clamps what it sends to the attenuator's range, and
    // refuses a setting without a positive step: such a setting never
    // reached the attenuator, whose attenuation is then unknown.
    out.family("qelt_attenuation_db",
               "Attenuation an attenuator holds: the stored setting as the library applies "
               "it.");
    for (int s = 0; s < QELT_SLICE_COUNT; ++s) {
        if (table[s].present != 1)
            continue;
        for (int ch = 0; ch < 4; ++ch) {
            for (int st = 0; st < 2; ++st) {
                const float value = table[s].dsa_value[ch][st];
                if (!qelt::convert::dsa_setting_valid(value, table[s].dsa_step[ch][st]))
                    continue;
                out.sample(
                    {{"slice", slice_names[s]}, {"channel", channel_names[ch]}, {"stage", stage_names[st]}},
                    std::clamp(value, qelt::convert::dsa_min_db, qelt::convert::dsa_max_db));
            }
        }
    }

    out.family("qelt_vdcdc_setpoint_volts",
               "Output voltage of the VDCDC regulator that feeds the VDD rails, as the "
               "slice configuration file records it.");
    out.sample({}, table[QELT_SLICE_COUNT - 1].vdcdc_voltage);
}

} // namespace

std::string exposition(const board_snapshot &snap)
{
    writer out;
    char version[8];
    std::snprintf(version, sizeof version, "%u.%u", snap.version[1], snap.version[0]);
    out.family("qelt_info", "Version of the board support software.");
    out.sample({{"version", version}}, 1.0f);

    write_slices(out, snap);
    if (snap.settings != nullptr)
        write_settings(out, snap.settings);

    // The SOM's 5.0 V rail is its monitor's first channel.
    out.family("qelt_som_rail_voltage_volts", "Voltage of the system-on-module's 5.0 V rail.");
    if (snap.som_psu)
        out.sample({{"rail", "5v0"}}, (*snap.som_psu)[1]);
    out.family("qelt_som_rail_current_amperes", "Current of the system-on-module's 5.0 V rail.");
    if (snap.som_psu)
        out.sample({{"rail", "5v0"}}, (*snap.som_psu)[0]);

    out.family("qelt_interrupt_pending",
               "Whether the board-wide status bit shows a pending rail-monitor alert.");
    if (snap.interrupt_pending)
        out.sample({}, flag(*snap.interrupt_pending));

    out.family("qelt_metrics_read_failures",
               "Board reading operations that failed in this pass; their series "
               "are left out.");
    out.sample({}, static_cast<float>(snap.failures));
    out.family("qelt_metrics_duration_seconds", "Wall time of this pass over the board.");
    out.sample({}, snap.duration_seconds);
    return out.take();
}
