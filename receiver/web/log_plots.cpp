// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/web/log_plots.h"

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

// Column names of the live log that the plots read, in LogFile::columns_ order.
constexpr std::string_view ColumnNames[] = {"utc", "peak_lag", "doppler_hz", "path2_delay_ms",
                                            "path3_delay_ms"};

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

// ---- Drawing ------------------------------------------------------------------

struct Series {
    const char* Label;
    QRgb Colour;
};

constexpr int PlotLeft = 52, PlotTop = 24, PlotRight = PlotWidth - 10, PlotBottom = PlotHeight - 24;
constexpr int PlotAreaWidth = PlotRight - PlotLeft;
constexpr int PlotAreaHeight = PlotBottom - PlotTop;

QFont PlotFont(bool bold = false) {
    QFont font;
    font.setFamilies({QStringLiteral("Liberation Sans"), QStringLiteral("Arial"),
                      QStringLiteral("Nimbus Sans")});
    font.setPixelSize(11);
    font.setBold(bold);
    return font;
}

// 1, 2 or 5 times a power of ten, near `span` / 5.
double TickStep(double span) {
    const double raw = span / 5.0;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double step : {1.0, 2.0, 5.0, 10.0})
        if (raw <= step * power) return step * power;
    return 10.0 * power;
}

QString TickText(double value, double step) {
    const int decimals = step >= 1.0 ? 0 : static_cast<int>(std::ceil(-std::log10(step)));
    return QString::number(value, 'f', decimals);
}

// Each value a series has in a row goes into its picture as one dot; where
// rows pile up the dots darken, so paths that hold show as lines and noise as
// a light haze.
template <class Values>
QImage RenderPlot(const LogHistory& history, int64_t nowUtcMs, const QString& title,
                  std::span<const Series> series, double minSpan, Values values) {
    // While the log holds less than a day, the time axis covers what there
    // is (in whole 10 minutes), so a new station's first minutes fill the
    // plot rather than a sliver at its right edge.
    int64_t earliestMs = nowUtcMs;
    history.ForEach(nowUtcMs - PlotSpanMs, nowUtcMs,
                    [&](const LogPoint& point) { earliestMs = std::min(earliestMs, point.UtcMs); });
    constexpr int64_t quantumMs = 10LL * 60 * 1000;
    const int64_t spanMs = std::clamp((nowUtcMs - earliestMs) / quantumMs * quantumMs + quantumMs,
                                      quantumMs, PlotSpanMs);
    const int64_t fromMs = nowUtcMs - spanMs;
    const size_t count = series.size();
    std::vector<float> row(count);

    // The value range: the middle 90 % of all values and half as much again
    // on either side, so blocks without a signal (their peak anywhere in the
    // frame) do not squash the paths into a line; what lies outside is left
    // out and counted.
    std::vector<float> all;
    history.ForEach(fromMs, nowUtcMs, [&](const LogPoint& point) {
        values(point, row.data());
        for (float v : row)
            if (std::isfinite(v)) all.push_back(v);
    });
    const bool empty = all.empty();
    double lo = -1.0, hi = 1.0;
    if (!empty) {
        const auto at = [&](double fraction) {
            const auto nth = all.begin() + static_cast<std::ptrdiff_t>(fraction * (all.size() - 1));
            std::nth_element(all.begin(), nth, all.end());
            return static_cast<double>(*nth);
        };
        const double low = at(0.05), high = at(0.95);
        const auto [least, most] = std::minmax_element(all.begin(), all.end());
        lo = std::max(static_cast<double>(*least), low - (high - low) * 0.5);
        hi = std::min(static_cast<double>(*most), high + (high - low) * 0.5);
    }
    const size_t valueCount = all.size();
    all = {};
    const double middle = (lo + hi) / 2.0;
    const double half = std::max(hi - lo, minSpan) / 2.0 * 1.08;
    lo = middle - half;
    hi = middle + half;

    std::vector<uint16_t> dots(count * PlotAreaWidth * PlotAreaHeight, 0);
    size_t outside = 0;
    if (!empty)
        history.ForEach(fromMs, nowUtcMs, [&](const LogPoint& point) {
            const int x = static_cast<int>((point.UtcMs - fromMs) * PlotAreaWidth / spanMs);
            if (x < 0 || x >= PlotAreaWidth) return;
            values(point, row.data());
            for (size_t s = 0; s < count; ++s) {
                if (!std::isfinite(row[s])) continue;
                const int y =
                    static_cast<int>(std::lround((hi - row[s]) / (hi - lo) * (PlotAreaHeight - 1)));
                if (y < 0 || y >= PlotAreaHeight) {
                    ++outside;
                    continue;
                }
                uint16_t& dot = dots[(s * PlotAreaHeight + y) * PlotAreaWidth + x];
                if (dot < 0xFFFF) ++dot;
            }
        });

    QImage image(PlotWidth, PlotHeight, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setFont(PlotFont());
    const QColor grid(0xE0, 0xE0, 0xE0);
    const QColor text(0x30, 0x30, 0x30);

    // Values: about five lines across.
    const double step = TickStep(hi - lo);
    for (double v = std::ceil(lo / step) * step; v <= hi; v += step) {
        const int y =
            PlotTop + static_cast<int>(std::lround((hi - v) / (hi - lo) * (PlotAreaHeight - 1)));
        painter.setPen(grid);
        painter.drawLine(PlotLeft, y, PlotRight - 1, y);
        painter.setPen(text);
        painter.drawText(QRect(0, y - 7, PlotLeft - 5, 14), Qt::AlignRight | Qt::AlignVCenter,
                         TickText(std::abs(v) < step / 1000 ? 0.0 : v, step));
    }
    // Time: every three hours of UTC over a day, less over a shorter span
    // (about six to twelve lines).
    int64_t tickMs = 3LL * 3600 * 1000;
    for (const int64_t minutes : {5, 10, 15, 30, 60, 120})
        if (spanMs / (minutes * 60000) <= 12) {
            tickMs = std::min(tickMs, minutes * 60000);
            break;
        }
    for (int64_t t = (fromMs / tickMs + 1) * tickMs; t <= nowUtcMs; t += tickMs) {
        const int x = PlotLeft + static_cast<int>((t - fromMs) * PlotAreaWidth / spanMs);
        painter.setPen(grid);
        painter.drawLine(x, PlotTop, x, PlotBottom - 1);
        if (x > PlotRight - 45) continue; // the "UTC" at the end has that place
        painter.setPen(text);
        painter.drawText(
            QRect(x - 30, PlotBottom + 3, 60, 14), Qt::AlignCenter,
            QDateTime::fromMSecsSinceEpoch(t, Qt::UTC).toString(QStringLiteral("HH:mm")));
    }
    painter.setPen(text);
    painter.drawText(QRect(PlotRight - 60, PlotBottom + 3, 60, 14),
                     Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("UTC"));
    painter.end();

    // The dots, the first series on top, darker where more rows fall on one
    // pixel (on a logarithmic scale: a path that holds for hours is dark, a
    // few stray blocks a light haze).
    for (size_t s = count; s-- > 0;) {
        const QColor colour = QColor::fromRgb(series[s].Colour);
        const uint16_t* first = &dots[s * PlotAreaHeight * PlotAreaWidth];
        const uint16_t most = *std::max_element(first, first + PlotAreaHeight * PlotAreaWidth);
        const double scale = 0.75 / std::log1p(std::max<double>(most, 2.0));
        for (int y = 0; y < PlotAreaHeight; ++y) {
            auto* line = reinterpret_cast<QRgb*>(image.scanLine(PlotTop + y)) + PlotLeft;
            const uint16_t* counts = first + y * PlotAreaWidth;
            for (int x = 0; x < PlotAreaWidth; ++x) {
                if (counts[x] == 0) continue;
                const double alpha = std::min(1.0, 0.25 + scale * std::log1p(counts[x]));
                const QRgb under = line[x];
                const auto mix = [&](int over, int below) {
                    return static_cast<int>(std::lround(alpha * over + (1.0 - alpha) * below));
                };
                line[x] = qRgb(mix(colour.red(), qRed(under)), mix(colour.green(), qGreen(under)),
                               mix(colour.blue(), qBlue(under)));
            }
        }
    }

    painter.begin(&image);
    painter.setPen(QColor(0x80, 0x80, 0x80));
    painter.drawRect(PlotLeft - 1, PlotTop - 1, PlotAreaWidth + 1, PlotAreaHeight + 1);
    painter.setPen(Qt::black);
    painter.setFont(PlotFont(true));
    painter.drawText(QRect(PlotLeft, 4, 300, 16), Qt::AlignLeft | Qt::AlignVCenter, title);
    painter.setFont(PlotFont());
    if (outside > 0) {
        const int titleWidth = QFontMetrics(PlotFont(true)).horizontalAdvance(title);
        painter.setPen(text);
        painter.drawText(QRect(PlotLeft + titleWidth + 12, 4, 250, 16),
                         Qt::AlignLeft | Qt::AlignVCenter,
                         QStringLiteral("%1 % of the values off the scale")
                             .arg(100.0 * outside / valueCount, 0, 'f', 1));
    }
    int x = PlotRight;
    for (size_t s = count; s-- > 0;) {
        const QString label = QString::fromLatin1(series[s].Label);
        const int width = painter.fontMetrics().horizontalAdvance(label);
        x -= width;
        painter.setPen(text);
        painter.drawText(QRect(x, 4, width, 16), Qt::AlignLeft | Qt::AlignVCenter, label);
        x -= 14;
        painter.fillRect(x, 8, 9, 9, QColor::fromRgb(series[s].Colour));
        x -= 12;
    }
    if (empty) {
        painter.setPen(text);
        painter.drawText(QRect(PlotLeft, PlotTop, PlotAreaWidth, PlotAreaHeight), Qt::AlignCenter,
                         QStringLiteral("No rows of the last 24 hours in the live log (%1)")
                             .arg(QDir::toNativeSeparators(history.Folder())));
    }
    return image;
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

void LogFile::Update() {
    QFile file(path_);
    const auto restart = [this] {
        readBytes_ = 0;
        std::fill(std::begin(columns_), std::end(columns_), -1);
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

void LogFile::TakeLine(std::string_view line) {
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
    if (std::find(fields, fields + n, ColumnNames[0]) != fields + n) {
        // A header (no row has a field "utc"): the columns of the rows that follow.
        fieldCount_ = n;
        for (size_t c = 0; c < std::size(ColumnNames); ++c) {
            columns_[c] = -1;
            for (int i = 0; i < n; ++i)
                if (fields[i] == ColumnNames[c]) columns_[c] = i;
        }
        return;
    }
    // A row must match its header: a line cut short and continued by a
    // restart, or rows without a header, are passed over.
    if (columns_[0] < 0 || n != fieldCount_) return;
    LogPoint point;
    if (!ParseUtc(fields[columns_[0]], point.UtcMs)) return;
    const auto value = [&](int c) {
        return columns_[c] < 0 ? Missing : Number(fields[columns_[c]]);
    };
    point.PeakLag = value(1);
    point.DopplerHz = value(2);
    point.Path2Ms = value(3);
    point.Path3Ms = value(4);
    points_.push_back(point);
}

void LogFile::DropBefore(int64_t utcMs) {
    while (!points_.empty() && points_.front().UtcMs < utcMs)
        points_.pop_front();
}

void LogHistory::Update(int64_t nowUtcMs) {
    const QDateTime now = QDateTime::fromMSecsSinceEpoch(nowUtcMs, Qt::UTC);
    QSet<QString> names;
    for (const QDate& day : {now.date(), now.date().addDays(-1), now.toLocalTime().date(),
                             now.toLocalTime().date().addDays(-1)})
        names.insert(QStringLiteral("propmon-") + day.toString(QStringLiteral("yyyy-MM-dd")) +
                     QStringLiteral(".csv"));
    std::erase_if(files_, [&](const auto& entry) { return !names.contains(entry.first); });
    for (const QString& name : names) {
        std::unique_ptr<LogFile>& file = files_[name];
        if (!file) file = std::make_unique<LogFile>(QDir(folder_).filePath(name));
        file->Update();
        file->DropBefore(nowUtcMs - PlotSpanMs);
    }
}

QImage RenderDelayPlot(const LogHistory& history, int64_t nowUtcMs, int baudRate) {
    static constexpr Series Series[] = {
        {"strongest path", 0xFF0000A0u},
        {"second path", 0xFFC80000u},
        {"third path", 0xFF008C00u},
    };
    // Two baseband samples a symbol.
    const double lagsPerMs = 2.0 * std::max(baudRate, 1) / 1000.0;
    return RenderPlot(history, nowUtcMs, QStringLiteral("Delay of the paths (ms)"), Series, 2.0,
                      [lagsPerMs](const LogPoint& point, float* out) {
                          const float first = static_cast<float>(point.PeakLag / lagsPerMs);
                          out[0] = first;
                          out[1] = first + point.Path2Ms;
                          out[2] = first + point.Path3Ms;
                      });
}

QImage RenderDopplerPlot(const LogHistory& history, int64_t nowUtcMs) {
    static constexpr Series Series[] = {{"strongest path", 0xFF0000A0u}};
    return RenderPlot(history, nowUtcMs, QStringLiteral("Doppler (Hz)"), Series, 1.0,
                      [](const LogPoint& point, float* out) { out[0] = point.DopplerHz; });
}

} // namespace web
