// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/web/log_plots.h"

#include "receiver/web/plot_drawing.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFont>
#include <QFontMetrics>
#include <QPainter>
#include <QSet>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <span>

namespace web {

namespace {

constexpr float Missing = std::numeric_limits<float>::quiet_NaN();

bool Digits(std::string_view text, size_t at, size_t count, int& value) {
    if (at + count > text.size()) return false;
    value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

float Number(std::string_view text) {
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    float value = Missing;
    if (text.empty()) return Missing;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || !std::isfinite(value)) return Missing;
    return value;
}

// Every row of `history` in the span, its values from `values`.
template <class Point, size_t Slots, class Values>
plot::RowSource RowsOf(const DayHistory<Point>& history, Values values) {
    return [&history, values](int64_t fromMs, int64_t toMs, const plot::RowVisit& visit) {
        std::array<float, Slots> row;
        history.ForEach(fromMs, toMs, [&](const Point& point) {
            values(point, row.data());
            visit(point.UtcMs, row.data());
        });
    };
}

template <class Point> QString EmptyText(const DayHistory<Point>& history) {
    return QStringLiteral("No rows of the last 24 hours in the live log (%1)")
        .arg(QDir::toNativeSeparators(history.Folder()));
}

} // namespace

bool ParseUtc(std::string_view text, int64_t& utcMs) {
    int year, month, day, hour, minute, second;
    if (text.size() < 19 || text[4] != '-' || text[7] != '-' || text[10] != 'T' ||
        text[13] != ':' || text[16] != ':')
        return false;
    if (!Digits(text, 0, 4, year) || !Digits(text, 5, 2, month) || !Digits(text, 8, 2, day) ||
        !Digits(text, 11, 2, hour) || !Digits(text, 14, 2, minute) || !Digits(text, 17, 2, second))
        return false;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return false;
    size_t at = 19;
    int millis = 0;
    if (at < text.size() && text[at] == '.') {
        ++at;
        int scale = 100;
        const size_t first = at;
        for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
            millis += (text[at] - '0') * scale;
            scale /= 10;
        }
        if (at == first) return false;
    }
    if (at < text.size() && text[at] == 'Z') ++at;
    if (at != text.size()) return false;
    utcMs = ((DaysFromCivil(year, month, day) * 24 + hour) * 60 + minute) * 60000LL +
            second * 1000LL + millis;
    return true;
}

void LogPoint::Set(size_t column, float value) {
    float* fields[] = {nullptr, &PeakLag, &DopplerHz, &Path2Ms, &Path3Ms, &SnrDb};
    if (column > 0 && column < std::size(fields)) *fields[column] = value;
}

void ChannelPoint::Set(size_t column, float value) {
    if (column == 1) LockedShare = value;
    if (column == 2) SnrDb = value;
    if (column >= 3 && column < 7) DopplerHz[column - 3] = value;
    if (column >= 7 && column < 11) SpreadHz[column - 7] = value;
}

template <class Point> void DayFile<Point>::Update() {
    QFile file(path_);
    const auto restart = [this] {
        readBytes_ = 0;
        columns_ = Absent();
        fieldCount_ = 0;
        points_.clear();
    };
    if (!file.open(QIODevice::ReadOnly)) {
        restart();
        return;
    }
    if (file.size() < readBytes_) restart();
    if (file.size() == readBytes_ || !file.seek(readBytes_)) return;
    QByteArray pending;
    for (;;) {
        const QByteArray data = file.read(1 << 20);
        if (data.isEmpty()) break;
        pending += data;
        qsizetype start = 0;
        for (qsizetype end; (end = pending.indexOf('\n', start)) >= 0; start = end + 1)
            TakeLine(
                std::string_view(pending.constData() + start, static_cast<size_t>(end - start)));
        readBytes_ += start;
        pending.remove(0, start);
    }
    // `pending` holds a line not finished yet: it is read again next time.
}

template <class Point> void DayFile<Point>::TakeLine(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) return;
    std::string_view fields[64];
    int n = 0;
    for (size_t start = 0;;) {
        const size_t comma = line.find(',', start);
        if (n == 64) return; // no row of the log has that many columns
        fields[n++] = line.substr(start, comma == std::string_view::npos ? comma : comma - start);
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    if (std::find(fields, fields + n, Point::Columns[0]) != fields + n) {
        // A header (no row has a field "utc"): the columns of the rows that follow.
        fieldCount_ = n;
        for (size_t c = 0; c < Point::Columns.size(); ++c) {
            columns_[c] = -1;
            for (int i = 0; i < n; ++i)
                if (fields[i] == Point::Columns[c]) columns_[c] = i;
        }
        return;
    }
    // A row must match its header: a line cut short and continued by a
    // restart, or rows without a header, are passed over.
    if (columns_[0] < 0 || n != fieldCount_) return;
    Point point;
    if (!ParseUtc(fields[columns_[0]], point.UtcMs)) return;
    for (size_t c = 1; c < Point::Columns.size(); ++c)
        point.Set(c, columns_[c] < 0 ? Missing : Number(fields[columns_[c]]));
    points_.push_back(point);
}

template <class Point> void DayFile<Point>::DropBefore(int64_t utcMs) {
    while (!points_.empty() && points_.front().UtcMs < utcMs)
        points_.pop_front();
}

template <class Point> void DayHistory<Point>::Update(int64_t nowUtcMs) {
    const QDateTime now = QDateTime::fromMSecsSinceEpoch(nowUtcMs, Qt::UTC);
    QSet<QString> names;
    for (const QDate& day : {now.date(), now.date().addDays(-1), now.toLocalTime().date(),
                             now.toLocalTime().date().addDays(-1)})
        names.insert(QString::fromLatin1(Point::Prefix) +
                     day.toString(QStringLiteral("yyyy-MM-dd")) + QStringLiteral(".csv"));
    std::erase_if(files_, [&](const auto& entry) { return !names.contains(entry.first); });
    for (const QString& name : names) {
        std::unique_ptr<DayFile<Point>>& file = files_[name];
        if (!file) file = std::make_unique<DayFile<Point>>(QDir(folder_).filePath(name));
        file->Update();
        file->DropBefore(nowUtcMs - PlotSpanMs);
    }
}

template class DayFile<LogPoint>;
template class DayFile<ChannelPoint>;
template class DayHistory<LogPoint>;
template class DayHistory<ChannelPoint>;

QImage RenderDelayPlot(const LogHistory& history, int64_t nowUtcMs, int baudRate) {
    static constexpr plot::Series Series[] = {
        {"strongest path", 0xFF0000A0u},
        {"second path", 0xFFC80000u},
        {"third path", 0xFF008C00u},
    };
    // Two baseband samples a symbol.
    const double lagsPerMs = 2.0 * std::max(baudRate, 1) / 1000.0;
    return plot::Render(nowUtcMs, QStringLiteral("Delay of the paths (ms)"), Series, 2.0,
                        RowsOf<LogPoint, 3>(history,
                                            [lagsPerMs](const LogPoint& point, float* out) {
                                                const auto first =
                                                    static_cast<float>(point.PeakLag / lagsPerMs);
                                                out[0] = first;
                                                out[1] = first + point.Path2Ms;
                                                out[2] = first + point.Path3Ms;
                                            }),
                        EmptyText(history));
}

QImage RenderDopplerPlot(const LogHistory& history, int64_t nowUtcMs) {
    static constexpr plot::Series Series[] = {{"strongest path", 0xFF0000A0u}};
    return plot::Render(nowUtcMs, QStringLiteral("Doppler (Hz)"), Series, 1.0,
                        RowsOf<LogPoint, 1>(history, [](const LogPoint& point,
                                                        float* out) { out[0] = point.DopplerHz; }),
                        EmptyText(history));
}

QImage RenderSnrPlot(const LogHistory& history, int64_t nowUtcMs) {
    static constexpr plot::Series Series[] = {{"every block", 0xFF0000A0u}};
    return plot::Render(nowUtcMs, QStringLiteral("SNR in 3 kHz (dB)"), Series, 10.0,
                        RowsOf<LogPoint, 1>(history, [](const LogPoint& point,
                                                        float* out) { out[0] = point.SnrDb; }),
                        EmptyText(history));
}

QImage RenderLockedPlot(const ChannelHistory& history, int64_t nowUtcMs) {
    static constexpr plot::Series Series[] = {{"every minute", 0xFF0000A0u}};
    return plot::Render(
        nowUtcMs, QStringLiteral("Locked share (%)"), Series, 100.0,
        RowsOf<ChannelPoint, 1>(history, [](const ChannelPoint& point,
                                            float* out) { out[0] = 100.0f * point.LockedShare; }),
        EmptyText(history), plot::FixedScale{0.0, 100.0});
}

QImage RenderPathDopplerPlot(const ChannelHistory& history, int64_t nowUtcMs) {
    // The shifts on top, each path's band under them in its colour.
    static constexpr plot::Series Series[] = {
        {"path 1", 0xFF0000A0u},      {"path 2", 0xFFC80000u},      {"path 3", 0xFF008C00u},
        {"path 4", 0xFF8C00A0u},      {nullptr, 0xFF0000A0u, true}, {nullptr, 0xFFC80000u, true},
        {nullptr, 0xFF008C00u, true}, {nullptr, 0xFF8C00A0u, true},
    };
    return plot::Render(
        nowUtcMs, QStringLiteral("Doppler shift of the paths, spread as a band (Hz)"), Series, 1.0,
        RowsOf<ChannelPoint, 12>(history,
                                 [](const ChannelPoint& point, float* out) {
                                     for (size_t p = 0; p < 4; ++p) {
                                         const float shift = point.DopplerHz[p];
                                         const float half = point.SpreadHz[p] / 2.0f;
                                         out[p] = shift;
                                         out[4 + 2 * p] = shift - half;
                                         out[5 + 2 * p] = shift + half;
                                     }
                                 }),
        EmptyText(history));
}

} // namespace web
