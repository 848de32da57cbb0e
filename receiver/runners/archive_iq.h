// SPDX-License-Identifier: GPL-3.0-or-later
// Recordings of a band (SDR IQ: SigMF, IQ WAV) among an archive's recordings:
// each is run by an IQ batch run of its own, into a folder named like the
// recording, on every carrier found in it; its summary gives the archive's
// summary a row per carrier.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <QStringList>

namespace runners {

// A carrier's row of the archive summary, from the IQ run's summary.
struct CarrierRow {
    std::string FrequencyHz;         // whole hertz (the offset where the centre is unknown)
    std::string Output;              // below the archive's folder: NAME/7104000Hz.csv or .../
    std::vector<std::string> Values; // the archive summary's values, in its order
    std::string Reason;              // "ok", "no signal" or why its outputs are not whole
};

// Whether `path` is an IQ recording; its length in seconds when it is (0 when
// its header cannot be read).
bool IsArchiveIq(const std::string& path, double& seconds);

// The IQ run's arguments: the recording, its folder (tables alone or tables
// and pictures) and the chain's options except those of audio alone.
QStringList IqRunArguments(const std::string& path, const std::filesystem::path& folder,
                           bool tablesOnly, const QStringList& chainOptions);

// The rows of the IQ run's summary.csv in `folder` (named `name` in the
// archive's folder), each with `values` of the archive summary; false with a
// one-line reason when it cannot be read.
bool CarrierRows(const std::filesystem::path& folder, const std::string& name, size_t values,
                 std::vector<CarrierRow>& rows, std::string& error);

} // namespace runners
