// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/web/overview_page.h"

#include <QBuffer>

#include <cmath>

namespace web {

namespace {

QString Escaped(const QString& text) {
    return text.toHtmlEscaped();
}

QString Fixed(double value, int decimals, bool sign = false) {
    const QString text = QString::number(value, 'f', decimals);
    return sign && value >= 0.0 ? QStringLiteral("+") + text : text;
}

// The correlogram scaled down, as a data: URL of a PNG; empty for none.
QString PictureUrl(const QImage& image) {
    if (image.isNull()) return {};
    const QImage small = image.width() > OverviewPictureWidth
                             ? image.scaledToWidth(OverviewPictureWidth, Qt::SmoothTransformation)
                             : image;
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    small.save(&buffer, "PNG");
    return QStringLiteral("data:image/png;base64,") + QString::fromLatin1(png.toBase64());
}

QString Row(const OverviewChannel& c) {
    const QString frequency = QString::number(std::nearbyint(c.FrequencyHz), 'f', 0);
    const QString picture = PictureUrl(c.Correlogram);
    QString row = QStringLiteral("<tr id=\"ch%1Hz\"><td class=\"num\">%1 Hz</td><td>%2</td>")
                      .arg(frequency, Escaped(c.Mode));
    row += c.Locked ? QStringLiteral("<td class=\"locked\">yes</td>")
                    : QStringLiteral("<td class=\"unlocked\">no</td>");
    row += QStringLiteral("<td class=\"num\">%1</td><td class=\"num\">%2</td>"
                          "<td class=\"num\">%3</td><td class=\"num\">%4</td>")
               .arg(c.SnrDb ? Fixed(*c.SnrDb, 1) : QStringLiteral("-"), Fixed(c.DelayMs, 2),
                    Fixed(c.DopplerHz, 2, true), QString::number(c.Blocks));
    row += picture.isEmpty() ? QStringLiteral("<td></td>")
                             : QStringLiteral("<td><img src=\"%1\" alt=\"correlogram of %2 Hz\" "
                                              "width=\"%3\"></td>")
                                   .arg(picture, frequency)
                                   .arg(OverviewPictureWidth);
    row += c.PageUrl.isEmpty()
               ? QStringLiteral("<td></td>")
               : QStringLiteral("<td><a href=\"%1\">full page</a></td>").arg(Escaped(c.PageUrl));
    return row + QStringLiteral("</tr>\n");
}

} // namespace

QByteArray OverviewHtml(const Overview& overview) {
    const QString title = overview.Station.isEmpty()
                              ? QStringLiteral("propmon: %1 channels").arg(overview.Channels.size())
                              : QStringLiteral("propmon at %1: %2 channels")
                                    .arg(Escaped(overview.Station))
                                    .arg(overview.Channels.size());
    QString page =
        QStringLiteral("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
                       "<meta http-equiv=\"refresh\" content=\"%1\">\n<title>%2</title>\n"
                       "<style>body{font-family:sans-serif;margin:1em}"
                       "table{border-collapse:collapse}td,th{padding:2px 8px;"
                       "border-bottom:1px solid #ccc}.num{text-align:right}"
                       ".locked{color:#070}.unlocked{color:#a00}</style>\n"
                       "</head><body>\n<h1>%2</h1>\n<table>\n<tr><th>Carrier</th><th>Mode</th>"
                       "<th>Locked</th><th>SNR in 3 kHz (dB)</th><th>Strongest path (ms)</th>"
                       "<th>Doppler (Hz)</th><th>Blocks</th><th>Correlogram</th><th></th></tr>\n")
            .arg(OverviewRefreshSeconds)
            .arg(title);
    for (const OverviewChannel& c : overview.Channels)
        page += Row(c);
    page += QStringLiteral("</table>\n</body></html>\n");
    return page.toUtf8();
}

} // namespace web
