// SPDX-License-Identifier: GPL-3.0-or-later
// The live log read back for the web view's plots: the day files
// propmon-YYYY-MM-DD.csv of the log folder and the channel table's
// channel-YYYY-MM-DD.csv beside them, read by column name (a header line
// first; columns may be added or reordered), as they grow, complete lines only
// (a line cut by a crash or still being written is left for later), and
// pictures of the last 24 hours drawn from them.
#pragma once

#include <QImage>
#include <QString>

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string_view>
#include <vector>

#include "receiver/web/plot_drawing.h"

namespace web {

// One row of the log as the plots use it; NaN where a column is missing or
// empty.
struct LogPoint {
    int64_t UtcMs = 0;
    float PeakLag = 0.0f; // baseband samples within the frame
    float DopplerHz = 0.0f;
    float Path2Ms = 0.0f; // delay of the second path after the strongest
    float Path3Ms = 0.0f;
    float SnrDb = 0.0f; // in 3 kHz

    // The day files, and the columns read (utc first), in Set's order.
    static constexpr const char* Prefix = "propmon-";
    static constexpr std::array<std::string_view, 6> Columns = {
        "utc", "peak_lag", "doppler_hz", "path2_delay_ms", "path3_delay_ms", "snr_db"};
    void Set(size_t column, float value);
};

// One row of the channel table (a minute) as the plots use it.
struct ChannelPoint {
    int64_t UtcMs = 0;        // the minute's start
    float LockedShare = 0.0f; // 0..1
    float SnrDb = 0.0f;
    std::array<float, 4> DopplerHz{}; // path N at [N - 1]
    std::array<float, 4> SpreadHz{};

    static constexpr const char* Prefix = "channel-";
    static constexpr std::array<std::string_view, 11> Columns = {"utc",
                                                                 "locked_share",
                                                                 "snr_db",
                                                                 "path1_doppler_hz",
                                                                 "path2_doppler_hz",
                                                                 "path3_doppler_hz",
                                                                 "path4_doppler_hz",
                                                                 "path1_doppler_spread_hz",
                                                                 "path2_doppler_spread_hz",
                                                                 "path3_doppler_spread_hz",
                                                                 "path4_doppler_spread_hz"};
    void Set(size_t column, float value);
};

// "2026-05-20T14:03:07.123Z" (the fraction and the Z may be absent) as
// milliseconds since 1970 UTC; false for anything else.
bool ParseUtc(std::string_view text, int64_t& utcMs);

// One day file, read as it grows.
template <class Point> class DayFile {
  public:
    explicit DayFile(QString path) : path_(std::move(path)) {}
    // Reads the complete lines added since the last call.  A file that has
    // become shorter than what was read (replaced) is read again from its start.
    void Update();
    const std::deque<Point>& Points() const { return points_; }
    // Forgets the rows before `utcMs` (rows are in time order).
    void DropBefore(int64_t utcMs);

  private:
    void TakeLine(std::string_view line);

    QString path_;
    int64_t readBytes_ = 0;
    // Indexes of Point::Columns in a row (-1: absent), and how many fields a
    // row has.
    std::array<int, Point::Columns.size()> columns_ = Absent();
    int fieldCount_ = 0;
    std::deque<Point> points_;

    static constexpr std::array<int, Point::Columns.size()> Absent() {
        std::array<int, Point::Columns.size()> absent{};
        absent.fill(-1);
        return absent;
    }
};
using LogFile = DayFile<LogPoint>;
using ChannelFile = DayFile<ChannelPoint>;

// The day files that can hold rows of the last 24 hours.
template <class Point> class DayHistory {
  public:
    explicit DayHistory(QString folder) : folder_(std::move(folder)) {}
    // Reads what was added to the files of today and yesterday (by UTC and
    // by local date) and forgets rows older than 24 hours before `nowUtcMs`.
    void Update(int64_t nowUtcMs);
    // Every row from `fromMs` to `toMs`.
    template <class Visit> void ForEach(int64_t fromMs, int64_t toMs, Visit&& visit) const {
        for (const auto& [name, file] : files_)
            for (const Point& point : file->Points())
                if (point.UtcMs >= fromMs && point.UtcMs <= toMs) visit(point);
    }
    const QString& Folder() const { return folder_; }

  private:
    QString folder_;
    std::map<QString, std::unique_ptr<DayFile<Point>>> files_;
};
// The live log (propmon-YYYY-MM-DD.csv) and its channel table (channel-YYYY-MM-DD.csv).
using LogHistory = DayHistory<LogPoint>;
using ChannelHistory = DayHistory<ChannelPoint>;

inline constexpr int PlotWidth = plot::Width;
inline constexpr int PlotHeight = plot::Height;
inline constexpr int64_t PlotSpanMs = plot::SpanMs;

// Delay of the paths in milliseconds against time (UTC) over the 24 hours up
// to `nowUtcMs`: the strongest path from its peak lag (at `baudRate`, two
// baseband samples a symbol), the second and third behind it.
QImage RenderDelayPlot(const LogHistory& history, int64_t nowUtcMs, int baudRate);
// The Doppler estimate in hertz against time over the same 24 hours.
QImage RenderDopplerPlot(const LogHistory& history, int64_t nowUtcMs);
// The SNR in 3 kHz of every block over the same 24 hours.
QImage RenderSnrPlot(const LogHistory& history, int64_t nowUtcMs);
// The locked share of every minute, in per cent.
QImage RenderLockedPlot(const ChannelHistory& history, int64_t nowUtcMs);
// Each path's Doppler shift of every minute, its Doppler spread a band
// around it (shift +- spread / 2).
QImage RenderPathDopplerPlot(const ChannelHistory& history, int64_t nowUtcMs);

} // namespace web
