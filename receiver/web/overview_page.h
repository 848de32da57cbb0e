// SPDX-License-Identifier: GPL-3.0-or-later
// The overview page of a run with several receivers (one per carrier of an
// SDR's band): a row per channel with its carrier, lock, SNR, the strongest
// path's delay and Doppler, a small correlogram and a link to the channel's
// own full page.  The page refreshes itself every few seconds; the pictures
// are inside it (data: URLs), so it loads nothing else.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace web {

struct OverviewChannel {
    double FrequencyHz = 0.0; // absolute, or the offset from the band's centre
    QString Mode;             // "NATO", "AMATEUR"
    bool Locked = false;
    std::optional<double> SnrDb; // in 3 kHz, while locked
    double DelayMs = 0.0;        // the strongest path (the sync peak)
    double DopplerHz = 0.0;
    int64_t Blocks = 0;
    QImage Correlogram; // shown scaled down to OverviewPictureWidth
    QString PageUrl;    // the channel's full page; empty: none
};

struct Overview {
    QString Station;
    std::vector<OverviewChannel> Channels;
};

inline constexpr int OverviewPictureWidth = 200;
inline constexpr int OverviewRefreshSeconds = 5;

QByteArray OverviewHtml(const Overview& overview);

} // namespace web
