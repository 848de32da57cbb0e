// SPDX-License-Identifier: GPL-3.0-or-later
// The names of the columns of the block table and of the channel table,
// defined once: the writers (batch CSV, live log) and the readers (web plots,
// archive summary, tests) take them from here.
#pragma once

#include <array>

namespace analysis::column {

// The block table: one row per block.
inline constexpr char Block[] = "block";
inline constexpr char TimeS[] = "time_s";
inline constexpr char PeakLag[] = "peak_lag";
inline constexpr char DopplerHz[] = "doppler_hz";
inline constexpr char TuneHz[] = "tune_hz";
inline constexpr char PeakSnrDb[] = "peak_snr_db";
inline constexpr char Locked[] = "locked";
inline constexpr char SnrDb[] = "snr_db";
inline constexpr char Flags[] = "flags";
inline constexpr char Path1Lag[] = "path1_lag";
inline constexpr char Path1Dbfs[] = "path1_dbfs";

// The channel table: one row per minute.
inline constexpr char Utc[] = "utc";
inline constexpr char StartS[] = "start_s";
inline constexpr char Blocks[] = "blocks";
inline constexpr char LockedShare[] = "locked_share";
inline constexpr char MultipathSpreadMs[] = "multipath_spread_ms";
inline constexpr char RmsDelaySpreadMs[] = "rms_delay_spread_ms";

// Per path, path N at [N - 1]: its delay after path 1 and power against it
// (both tables), its Doppler shift and spread (channel table).
inline constexpr std::array<const char*, 4> PathDelayMs = {"path1_delay_ms", "path2_delay_ms",
                                                           "path3_delay_ms", "path4_delay_ms"};
inline constexpr std::array<const char*, 4> PathRelDb = {"path1_rel_db", "path2_rel_db",
                                                         "path3_rel_db", "path4_rel_db"};
inline constexpr std::array<const char*, 4> PathDopplerHz = {
    "path1_doppler_hz", "path2_doppler_hz", "path3_doppler_hz", "path4_doppler_hz"};
inline constexpr std::array<const char*, 4> PathDopplerSpreadHz = {
    "path1_doppler_spread_hz", "path2_doppler_spread_hz", "path3_doppler_spread_hz",
    "path4_doppler_spread_hz"};

} // namespace analysis::column
