// SPDX-License-Identifier: GPL-3.0-or-later
// The accuracy bench's cases and tables.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bench/analysis/measurement_run.h"
#include "bench/analysis/measurement_scores.h"
#include "s4285gen/channels.h"

namespace bench {

// Seconds of signal a case runs (three channel-table minutes).
inline constexpr double CaseSeconds = 180.0;

std::string Cell(const std::optional<double>& v, const char* format);
s4285gen::Config Channel(s4285gen::Watterson id, double snrDb);
// The NATO rate with these paths.
s4285gen::Config WithPaths(std::vector<s4285gen::Path> paths, double snrDb, uint64_t seed);
Run RunCase(const s4285gen::Config& config, double seconds = CaseSeconds, bool autoClock = false);

void SnrTables();
void PathTables();
void DopplerTables();
void InterferenceTable();
void ClockTable();
void CostLine();

} // namespace bench
