// SPDX-License-Identifier: GPL-3.0-or-later
// The live log read back for the web view's plots: the day files
// propmon-YYYY-MM-DD.csv of the log folder, read by column name (a header line
// first; columns may be added or reordered), as they grow, complete lines only
// (a line cut by a crash or still being written is left for later), and
// pictures of the last 24 hours drawn from them.
#pragma once

#include <QImage>
#include <QString>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string_view>
#include <vector>

namespace web {

// One row of the log as the plots use it; NaN where a column is missing or
// empty.
struct LogPoint {
    int64_t UtcMs = 0;
    float PeakLag = 0.0f; // baseband samples within the frame
    float DopplerHz = 0.0f;
    float Path2Ms = 0.0f; // delay of the second path after the strongest
    float Path3Ms = 0.0f;
};

// "2026-05-20T14:03:07.123Z" (the fraction and the Z may be absent) as
// milliseconds since 1970 UTC; false for anything else.
bool ParseUtc(std::string_view text, int64_t& utcMs);

// One day file, read as it grows.
class LogFile {
  public:
    explicit LogFile(QString path) : path_(std::move(path)) {}
    // Reads the complete lines added since the last call.  A file that has
    // become shorter than what was read (replaced) is read again from its start.
    void Update();
    const std::deque<LogPoint>& Points() const { return points_; }
    // Forgets the rows before `utcMs` (rows are in time order).
    void DropBefore(int64_t utcMs);

  private:
    void TakeLine(std::string_view line);

    QString path_;
    int64_t readBytes_ = 0;
    // Indexes of utc, peak_lag, doppler_hz, path2_delay_ms and path3_delay_ms
    // in a row (-1: absent), and how many fields a row has.
    int columns_[5] = {-1, -1, -1, -1, -1};
    int fieldCount_ = 0;
    std::deque<LogPoint> points_;
};

// The day files that can hold rows of the last 24 hours.
class LogHistory {
  public:
    explicit LogHistory(QString folder) : folder_(std::move(folder)) {}
    // Reads what was added to the files of today and yesterday (by UTC and
    // by local date) and forgets rows older than 24 hours before `nowUtcMs`.
    void Update(int64_t nowUtcMs);
    // Every row from `fromMs` to `toMs`.
    template <class Visit> void ForEach(int64_t fromMs, int64_t toMs, Visit&& visit) const {
        for (const auto& [name, file] : files_)
            for (const LogPoint& point : file->Points())
                if (point.UtcMs >= fromMs && point.UtcMs <= toMs) visit(point);
    }
    const QString& Folder() const { return folder_; }

  private:
    QString folder_;
    std::map<QString, std::unique_ptr<LogFile>> files_;
};

inline constexpr int PlotWidth = 705;
inline constexpr int PlotHeight = 240;
inline constexpr int64_t PlotSpanMs = 24LL * 3600 * 1000;

// Delay of the paths in milliseconds against time (UTC) over the 24 hours up
// to `nowUtcMs`: the strongest path from its peak lag (at `baudRate`, two
// baseband samples a symbol), the second and third behind it.
QImage RenderDelayPlot(const LogHistory& history, int64_t nowUtcMs, int baudRate);
// The Doppler estimate in hertz against time over the same 24 hours.
QImage RenderDopplerPlot(const LogHistory& history, int64_t nowUtcMs);

} // namespace web
