// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/runners/archive_iq.h"

#include <fstream>
#include <sstream>

#include "receiver/io/iq_recording.h"

namespace runners {

namespace {

namespace fs = std::filesystem;

// The columns of an IQ run's summary.
constexpr size_t IqSummaryColumns = 12;

// The cells of a CSV line, quotes taken off ("" inside quotes is one ").
std::vector<std::string> CsvCells(const std::string& line) {
    std::vector<std::string> cells(1);
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
            cells.back() += '"';
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            cells.emplace_back();
        } else {
            cells.back() += c;
        }
    }
    return cells;
}

} // namespace

bool IsArchiveIq(const std::string& path, double& seconds) {
    seconds = 0.0;
    if (!io::IsIqRecording(path)) return false;
    std::string ignored;
    if (const auto reader = io::IqRecordingReader::Open(path, false, ignored))
        seconds = double(reader->Info().Frames) / reader->Info().SampleRate;
    return true;
}

QStringList IqRunArguments(const std::string& path, const fs::path& folder, bool tablesOnly,
                           const QStringList& chainOptions) {
    QStringList arguments{QStringLiteral("--batch=") + QString::fromLocal8Bit(path),
                          (tablesOnly ? QStringLiteral("--csv=") : QStringLiteral("--out=")) +
                              QString::fromLocal8Bit(folder.string())};
    // A receiver per carrier has no stereo channel to choose.
    for (const QString& option : chainOptions)
        if (!option.startsWith(QLatin1String("--channel="))) arguments << option;
    return arguments;
}

bool CarrierRows(const fs::path& folder, const std::string& name, size_t values,
                 std::vector<CarrierRow>& rows, std::string& error) {
    std::ifstream in(folder / "summary.csv");
    std::string line;
    if (!in || !std::getline(in, line)) {
        error = "no summary of its carriers in " + folder.string();
        return false;
    }
    // file,frequency_hz,offset_hz,mode,output,duration_s,blocks,locked_share,
    // median_snr_db,clock_ppm,clock_uncertainty_ppm,exit_reason
    if (CsvCells(line).size() != IqSummaryColumns) {
        error = "the summary of its carriers in " + folder.string() + " is not one of ours";
        return false;
    }
    while (std::getline(in, line)) {
        const std::vector<std::string> cells = CsvCells(line);
        if (cells.size() != IqSummaryColumns) continue;
        CarrierRow row;
        row.FrequencyHz = cells[1];
        row.Output = name + "/" + cells[4];
        row.Values.assign(values, std::string());
        // duration_s, blocks, locked_share, mode, channel, clock_ppm,
        // clock_uncertainty_ppm, median_snr_db (the rest: none).
        row.Values[0] = cells[5];
        row.Values[1] = cells[6];
        row.Values[2] = cells[7];
        row.Values[3] = cells[3];
        row.Values[4] = "iq";
        row.Values[5] = cells[9];
        row.Values[6] = cells[10];
        row.Values[7] = cells[8];
        row.Reason = cells[11];
        rows.push_back(std::move(row));
    }
    return true;
}

} // namespace runners
