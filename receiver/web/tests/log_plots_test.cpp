// SPDX-License-Identifier: GPL-3.0-or-later
// The live log read back for the plots: by column name, complete lines only,
// as the file grows; and the plots of the last 24 hours drawn from today's
// and yesterday's day files.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "receiver/analysis/channel_table.h"
#include "receiver/web/log_plots.h"

namespace {

void Append(const QString& path, const std::string& text) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::Append));
    file.write(text.data(), static_cast<qint64>(text.size()));
}

std::string Utc(int64_t ms) {
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC)
        .toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ"))
        .toStdString();
}

TEST(LogFile, ReadsByColumnNameCompleteLinesOnlyAsTheFileGrows) {
    QTemporaryDir dir;
    const QString path = QDir(dir.path()).filePath("propmon-2026-12-08.csv");
    Append(path,
           "utc,block,time_s,peak_lag,doppler_hz,tune_hz,peak_snr_db,locked,path2_delay_ms,"
           "path2_rel_db,path3_delay_ms,path3_rel_db\n"
           "2026-12-08T14:03:07.123Z,0,0.106667,120,0.25,0,17.5,1,2.5,-6.1,,\n"
           "2026-12-08T14:03:07.230Z,1,0.213333,121,-0.5,-1,17.1,1,,,,\n"
           "not a time,2,0.32,122,0.1,0,1,0,,,,\n"     // passed over
           "2026-12-08T14:03:07.443Z,3,0.426667,123\n" // too few fields: passed over
           "2026-12-08T14:03:07.550Z,4,0.53,12");      // still being written
    web::LogFile log(path);
    log.Update();
    ASSERT_EQ(log.Points().size(), 2u);
    const web::LogPoint& first = log.Points()[0];
    EXPECT_EQ(first.UtcMs,
              QDateTime(QDate(2026, 12, 8), QTime(14, 3, 7, 123), Qt::UTC).toMSecsSinceEpoch());
    EXPECT_EQ(first.PeakLag, 120.0f);
    EXPECT_EQ(first.DopplerHz, 0.25f);
    EXPECT_EQ(first.Path2Ms, 2.5f);
    EXPECT_TRUE(std::isnan(first.Path3Ms));
    EXPECT_TRUE(std::isnan(log.Points()[1].Path2Ms));

    // The cut line completes; a header with other columns in another order
    // (a newer program after a restart) applies to the rows after it.
    Append(path, "4,-0.75,2,18,1,3.0,-3,4.5,-9\n"
                 "doppler_hz,utc,peak_lag\n"
                 "1.5,2026-12-08T14:03:08Z,300\n"
                 "2.5,2026-12-08T14:03:08.1");
    log.Update();
    ASSERT_EQ(log.Points().size(), 4u);
    EXPECT_EQ(log.Points()[2].PeakLag, 124.0f);
    EXPECT_EQ(log.Points()[2].Path3Ms, 4.5f);
    EXPECT_EQ(log.Points()[3].DopplerHz, 1.5f);
    EXPECT_EQ(log.Points()[3].PeakLag, 300.0f);
    EXPECT_TRUE(std::isnan(log.Points()[3].Path2Ms)); // no such column any more

    // A file replaced by a shorter one is read from its start.
    ASSERT_TRUE(QFile::remove(path));
    Append(path, "utc,peak_lag\n2026-12-08T15:00:00.000Z,7\n");
    log.Update();
    ASSERT_EQ(log.Points().size(), 1u);
    EXPECT_EQ(log.Points()[0].PeakLag, 7.0f);
}

TEST(LogFile, UtcStampsAreReadExactlyAndNothingElseIsTakenForOne) {
    const QDateTime when(QDate(2026, 2, 28), QTime(23, 59, 59, 999), Qt::UTC);
    int64_t ms = 0;
    ASSERT_TRUE(web::ParseUtc("2026-02-28T23:59:59.999Z", ms));
    EXPECT_EQ(ms, when.toMSecsSinceEpoch());
    ASSERT_TRUE(web::ParseUtc("1969-12-31T23:59:59Z", ms));
    EXPECT_EQ(ms, -1000);
    ASSERT_TRUE(web::ParseUtc("2026-12-08T14:03:07.5", ms));
    EXPECT_EQ(ms % 1000, 500);
    for (const char* bad :
         {"", "2026-12-08", "2026-13-08T14:03:07Z", "2026-12-08 14:03:07Z", "2026-12-08T14:03:07.Z",
          "2026-12-08T14:03:07Zx", "x026-12-08T14:03:07Z"})
        EXPECT_FALSE(web::ParseUtc(bad, ms)) << bad;
}

// The number of pixels in a column band of the plot area (below the title
// and legend, above the time axis) that are near `colour`.
int Dots(const QImage& plot, int xFrom, int xTo, QRgb colour) {
    int count = 0;
    for (int x = std::max(xFrom, 0); x < std::min(xTo, plot.width()); ++x)
        for (int y = 24; y < plot.height() - 24; ++y) {
            const QRgb p = plot.pixel(x, y);
            if (std::abs(qRed(p) - qRed(colour)) + std::abs(qGreen(p) - qGreen(colour)) +
                    std::abs(qBlue(p) - qBlue(colour)) <
                120)
                ++count;
        }
    return count;
}

TEST(LogPlots, ShowTheLast24HoursFromTodayAndYesterday) {
    QTemporaryDir dir;
    const int64_t now = QDateTime::currentMSecsSinceEpoch();
    const int64_t hour = 3600 * 1000;
    const auto dayFile = [&](int64_t ms) {
        return QDir(dir.path())
            .filePath(QStringLiteral("propmon-") +
                      QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString("yyyy-MM-dd") +
                      QStringLiteral(".csv"));
    };
    // Rows an hour long at 20 and 1 hour ago (two paths, 2.5 ms apart), and
    // some 30 hours ago, which are too old to be drawn.
    const std::string header = "utc,block,time_s,peak_lag,doppler_hz,tune_hz,path2_delay_ms\n";
    std::vector<int64_t> starts = {now - 30 * hour, now - 20 * hour, now - 2 * hour};
    for (int64_t start : starts) {
        const QString path = dayFile(start);
        if (!QFile::exists(path)) Append(path, header);
        std::string rows;
        for (int64_t t = start; t < start + hour; t += 10000)
            rows += Utc(t) + ",0,0," + (start == starts[0] ? "500" : "120") + ",0.5,0,2.5\n";
        Append(path, rows);
    }
    // One row just inside the day: the plot spans the whole 24 hours.
    const int64_t dayStart = now - 24 * hour + 5 * 60 * 1000;
    if (!QFile::exists(dayFile(dayStart))) Append(dayFile(dayStart), header);
    Append(dayFile(dayStart), Utc(dayStart) + ",0,0,120,0.5,0,2.5\n");

    web::LogHistory history(dir.path());
    history.Update(now);
    int rows = 0;
    history.ForEach(now - 24 * hour, now, [&](const web::LogPoint&) { ++rows; });
    EXPECT_EQ(rows, 2 * 360 + 1);

    const QImage delay = web::RenderDelayPlot(history, now, 2400);
    ASSERT_EQ(delay.size(), QSize(web::PlotWidth, web::PlotHeight));
    // Where the plot area puts an hour: it spans 24 hours across most of the picture.
    const auto x = [&](int64_t ms) {
        return 52 +
               static_cast<int>((ms - (now - 24 * hour)) * (web::PlotWidth - 62) / (24 * hour));
    };
    constexpr QRgb strongest = 0xFF0000A0u, second = 0xFFC80000u;
    EXPECT_GT(Dots(delay, x(now - 20 * hour) + 2, x(now - 19 * hour) - 2, strongest), 10);
    EXPECT_GT(Dots(delay, x(now - 20 * hour) + 2, x(now - 19 * hour) - 2, second), 10);
    EXPECT_GT(Dots(delay, x(now - 2 * hour) + 2, x(now - hour) - 2, second), 10);
    // Nothing where the log has no rows (between the two hours).
    EXPECT_EQ(Dots(delay, x(now - 18 * hour), x(now - 3 * hour), strongest), 0);
    // The second path is drawn 2.5 ms behind the strongest: higher up.
    const int column = x(now - 2 * hour) + 10;
    int strongestY = -1, secondY = -1;
    for (int y = 0; y < delay.height(); ++y) {
        if (delay.pixel(column, y) == strongest) strongestY = y;
        if (delay.pixel(column, y) == second) secondY = y;
    }
    ASSERT_GE(strongestY, 0);
    ASSERT_GE(secondY, 0);
    EXPECT_LT(secondY, strongestY);

    const QImage doppler = web::RenderDopplerPlot(history, now);
    EXPECT_GT(Dots(doppler, x(now - 2 * hour) + 2, x(now - hour) - 2, strongest), 10);

    // An empty folder gives a plot that says so and draws no dots.
    QTemporaryDir empty;
    web::LogHistory none(empty.path());
    none.Update(now);
    EXPECT_EQ(Dots(web::RenderDelayPlot(none, now, 2400), 52, web::PlotWidth - 10, strongest), 0);
}

// Delays are drawn in milliseconds whatever the baud rate: peak lag 240 at
// 2400 baud (two lags a symbol) is 50 ms, where a path 25 ms behind a peak at
// lag 120 is drawn too.
TEST(LogPlots, LagsBecomeMillisecondsAtTheBaudRate) {
    QTemporaryDir dir;
    const int64_t now = QDateTime::currentMSecsSinceEpoch();
    const int64_t hour = 3600 * 1000;
    const QString path =
        QDir(dir.path())
            .filePath(
                QStringLiteral("propmon-") +
                QDateTime::fromMSecsSinceEpoch(now - 3 * hour, Qt::UTC).toString("yyyy-MM-dd") +
                QStringLiteral(".csv"));
    Append(path, "utc,block,time_s,peak_lag,doppler_hz,tune_hz,path2_delay_ms\n");
    // A row nearly a day old, so that the plot spans its 24 hours.
    std::string rows = Utc(now - 24 * hour + 60000) + ",0,0,240,0.5,0,\n";
    for (int64_t t = now - 3 * hour; t < now - 2 * hour; t += 10000)
        rows += Utc(t) + ",0,0,240,0.5,0,\n";
    for (int64_t t = now - 2 * hour + 60000; t < now - hour; t += 10000)
        rows += Utc(t) + ",0,0,120,0.5,0,25\n";
    Append(path, rows);
    web::LogHistory history(dir.path());
    history.Update(now);
    const QImage delay = web::RenderDelayPlot(history, now, 2400);
    const auto x = [&](int64_t ms) {
        return 52 +
               static_cast<int>((ms - (now - 24 * hour)) * (web::PlotWidth - 62) / (24 * hour));
    };
    const auto rowOf = [&](int column, QRgb colour) {
        for (int y = 0; y < delay.height(); ++y)
            if (delay.pixel(column, y) == colour) return y;
        return -1;
    };
    constexpr QRgb strongest = 0xFF0000A0u, second = 0xFFC80000u;
    const int at50 = rowOf(x(now - 3 * hour) + 10, strongest);
    const int at25 = rowOf(x(now - 2 * hour) + 10, strongest);
    const int behind = rowOf(x(now - 2 * hour) + 10, second);
    ASSERT_GE(at50, 0);
    ASSERT_GE(at25, 0);
    ASSERT_GE(behind, 0);
    EXPECT_EQ(behind, at50);
    EXPECT_GT(at25, at50);
}

// A station that started 25 minutes ago: the plot spans half an hour, so
// its rows fill most of the width rather than a sliver at the right edge.
TEST(LogPlots, ScaleToTheDataWhileThereIsLessThanADay) {
    QTemporaryDir dir;
    const int64_t now = QDateTime::currentMSecsSinceEpoch();
    const int64_t minute = 60 * 1000;
    std::string rows = "utc,block,time_s,peak_lag,doppler_hz,tune_hz\n";
    for (int64_t t = now - 25 * minute; t < now; t += 1000)
        rows += Utc(t) + ",0,0,120,0.5,0\n";
    // Into the day file of every row (a start just before midnight spans two).
    std::map<QString, std::string> files;
    for (int64_t t = now - 25 * minute; t < now; t += 1000)
        files[QDir(dir.path())
                  .filePath(QStringLiteral("propmon-") +
                            QDateTime::fromMSecsSinceEpoch(t, Qt::UTC).toString("yyyy-MM-dd") +
                            QStringLiteral(".csv"))];
    for (const auto& [path, unused] : files)
        Append(path, rows);
    web::LogHistory history(dir.path());
    history.Update(now);
    constexpr QRgb strongest = 0xFF0000A0u;
    const QImage delay = web::RenderDelayPlot(history, now, 2400);
    const int left = 52, right = web::PlotWidth - 10, width = right - left;
    // Rows across the right 25/30 of the area, none in the first sixth.
    EXPECT_GT(Dots(delay, left + width / 6 + 4, left + width / 3, strongest), 10);
    EXPECT_GT(Dots(delay, right - width / 6, right, strongest), 10);
    EXPECT_EQ(Dots(delay, left, left + width / 6 - 4, strongest), 0);
}

} // namespace

namespace {

// The channel table as the receiver writes it (its header and rows), read back
// for the plots of the locked share and of each path's Doppler shift with its
// spread as a band; the SNR in 3 kHz from the block log beside it.
TEST(LogPlots, ChannelTableGivesLockedShareAndEachPathsDopplerWithItsSpread) {
    QTemporaryDir dir;
    const int64_t now = QDateTime::currentMSecsSinceEpoch();
    const int64_t minute = 60 * 1000, hour = 60 * minute;
    const auto dayFile = [&](const char* prefix, int64_t ms) {
        return QDir(dir.path())
            .filePath(QString::fromLatin1(prefix) +
                      QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString("yyyy-MM-dd") +
                      QStringLiteral(".csv"));
    };
    // Three hours up to an hour ago: path 1 steady at +0.5 Hz (0.1 Hz
    // spread), path 2 at -1 Hz spread over 2 Hz, 0.9 of the blocks locked.
    for (int64_t t = (now - 4 * hour) / minute * minute; t < now - hour; t += minute) {
        analysis::ChannelRow row;
        row.Utc = Utc(t);
        row.Blocks = 562;
        row.LockedShare = 0.9;
        row.SnrDb = 12.0;
        row.Paths[0] = analysis::ChannelPath{0.0, 0.0, 0.5, 0.1};
        row.Paths[1] = analysis::ChannelPath{1.0, -3.0, -1.0, 2.0};
        const QString path = dayFile("channel-", t);
        if (!QFile::exists(path)) Append(path, analysis::ChannelTableHeader() + "\n");
        Append(path, analysis::FormatChannelRow(row) + "\n");
        const QString log = dayFile("propmon-", t);
        if (!QFile::exists(log)) Append(log, "utc,block,snr_db,flags\n");
        Append(log, Utc(t) + ",0,14.5,\n" + Utc(t + 100) + ",1,,dropout\n");
    }
    // A minute nearly a day old, so that the plots span their 24 hours.
    {
        const int64_t t = (now - 24 * hour) / minute * minute + 2 * minute;
        analysis::ChannelRow row;
        row.Utc = Utc(t);
        row.Blocks = 562;
        const QString path = dayFile("channel-", t);
        if (!QFile::exists(path)) Append(path, analysis::ChannelTableHeader() + "\n");
        Append(path, analysis::FormatChannelRow(row) + "\n");
        const QString log = dayFile("propmon-", t);
        if (!QFile::exists(log)) Append(log, "utc,block,snr_db,flags\n");
        Append(log, Utc(t) + ",0,,\n");
    }
    web::ChannelHistory channels(dir.path());
    channels.Update(now);
    int minutes = 0;
    channels.ForEach(now - 5 * hour, now, [&](const web::ChannelPoint& point) {
        ++minutes;
        EXPECT_FLOAT_EQ(point.LockedShare, 0.9f);
        EXPECT_FLOAT_EQ(point.DopplerHz[1], -1.0f);
        EXPECT_FLOAT_EQ(point.SpreadHz[1], 2.0f);
        EXPECT_TRUE(std::isnan(point.DopplerHz[2]));
    });
    EXPECT_NEAR(minutes, 180, 1);

    const auto x = [&](int64_t ms) {
        return 52 +
               static_cast<int>((ms - (now - 24 * hour)) * (web::PlotWidth - 62) / (24 * hour));
    };
    const int column = x(now - 2 * hour);
    constexpr QRgb path1 = 0xFF0000A0u, path2 = 0xFFC80000u;
    const QImage paths = web::RenderPathDopplerPlot(channels, now);
    ASSERT_EQ(paths.size(), QSize(web::PlotWidth, web::PlotHeight));
    const auto near = [](QRgb p, QRgb colour) {
        return std::abs(qRed(p) - qRed(colour)) + std::abs(qGreen(p) - qGreen(colour)) +
                   std::abs(qBlue(p) - qBlue(colour)) <
               120;
    };
    int path1Y = -1, path2Y = -1, band = 0;
    for (int y = 24; y < paths.height() - 24; ++y) {
        const QRgb p = paths.pixel(column, y);
        if (near(p, path1)) path1Y = y;
        if (near(p, path2)) path2Y = y;
        // The band: reddish, lighter than the dot.
        band += qRed(p) > qGreen(p) + 20 && qRed(p) > qBlue(p) + 20 && !near(p, path2);
    }
    ASSERT_GE(path1Y, 0);
    ASSERT_GE(path2Y, 0);
    EXPECT_LT(path1Y, path2Y); // +0.5 Hz above -1 Hz
    // 2 Hz of band against 1.5 Hz between the two shifts.
    EXPECT_GT(band, (path2Y - path1Y) * 2 / 3);
    EXPECT_EQ(Dots(paths, x(now - 50 * minute), web::PlotWidth - 10, path2), 0);

    EXPECT_GT(Dots(web::RenderLockedPlot(channels, now), column - 20, column + 20, path1), 10);
    web::LogHistory log(dir.path());
    log.Update(now);
    EXPECT_GT(Dots(web::RenderSnrPlot(log, now), column - 20, column + 20, path1), 10);
}

} // namespace
