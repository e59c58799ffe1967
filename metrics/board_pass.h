// One pass over the board for the metrics: every reading the hardware can
// give, taken without changing anything the other programs set, plus the
// settings the slice configuration file remembers.
#pragma once

#include <qelt/qelt.h>

#include <array>
#include <cstdint>
#include <optional>

// What one slice position showed. An unset reading could not be taken; its
// series are left out rather than reported stale or as zero.
struct slice_snapshot {
    std::optional<bool> present;                         // the expander's presence pin
    bool alert = false;                                  // the monitor's alert line is low
    std::optional<std::array<float, 3>> warning_amperes; // VDD, 3.3 V, 5.0 V
    std::optional<std::array<float, 6>> psu;             // as the library orders the readings
    std::optional<float> celsius;                        // slices with a sensor only
};

struct board_snapshot {
    std::array<std::uint8_t, 2> version{}; // minor, major
    std::array<slice_snapshot, QELT_SLICE_COUNT> slices;
    std::optional<std::array<float, 6>> som_psu;
    std::optional<bool> interrupt_pending;
    // The slice configuration file as last saved, when it exists and could
    // be read: rows of slices it records as present have present = 1.
    const qelt_slice *settings = nullptr;
    int failures = 0; // operations that failed in this pass
    double duration_seconds = 0;
};

// Reads the whole board once. Never runs detection, switches a rail or
// writes an expander, the VDCDC, an attenuator or the configuration file.
board_snapshot read_board();
