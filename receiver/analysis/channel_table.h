// SPDX-License-Identifier: GPL-3.0-or-later
// The channel table: one row a minute, what a researcher plots for a year.
// The measurement stage fills a row from the minute's blocks; the caller
// adds where the minute lies (utc, start_s).  Header and rows are formatted
// here for every writer.
//
// Columns: utc (the minute's start, as the caller writes it), start_s
// (seconds into the input), blocks, locked_share, snr_db (in 3 kHz, over the
// locked blocks), multipath_spread_ms (first to last path within 20 dB of the
// strongest), rms_delay_spread_ms (of the paths' powers), then for N = 1..4
// pathN_delay_ms (after path 1, the strongest of the minute), pathN_rel_db,
// pathN_doppler_hz (+: above the carrier), pathN_doppler_spread_hz
// (two-sided, 2 sigma).  A cell without a value is empty.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace analysis {

struct ChannelPath {
    double DelayMs = 0.0; // after path 1
    double RelDb = 0.0;   // against path 1
    std::optional<double> DopplerHz;
    std::optional<double> DopplerSpreadHz;
};

struct ChannelRow {
    std::string Utc;   // the caller's
    double StartS = 0; // the caller's
    int64_t Blocks = 0;
    double LockedShare = 0.0;
    std::optional<double> SnrDb;
    std::optional<double> MultipathSpreadMs;
    std::optional<double> RmsDelaySpreadMs;
    std::array<std::optional<ChannelPath>, 4> Paths; // [0] = path 1, the strongest
};

// The column names, comma-separated, without a line end.
std::string ChannelTableHeader();
// One row in the header's order, without a line end.
std::string FormatChannelRow(const ChannelRow& row);

} // namespace analysis
