// SPDX-License-Identifier: GPL-3.0-or-later
// The web view as the receiver runs it, the same with and without a window:
// the folders it serves, and a block observer that hands it the panels and
// the block's numbers at most once a second.
#pragma once

#include <QElapsedTimer>
#include <QString>

#include <memory>

#include "receiver/io/stream_devices.h"
#include "receiver/io/wave_input.h"
#include "receiver/session/command_line.h"
#include "receiver/session/receiver_state.h"
#include "receiver/web/web_view.h"

namespace session {

// The address of --http, the three gram folders below the snapshot folder
// and the log folder (served as "logs"): --log DIR, else where the window's
// "Log blocks to CSV" writes.
web::WebViewConfig WebViewConfigFor(const ReceiverOptions& options, const ReceiverState& state);

// The numbers the page shows for the block the chain has just processed.
web::BlockFacts BlockFactsOf(const ReceiverState& state, const dsp::ChainState& chain,
                             int64_t blocks, const QString& input);

// The station's health as the page shows it, from the state and what this
// watch has seen since it first looked (the uptime, the fall of free space).
class HealthWatch {
  public:
    // `network`: the counts of a network input (nullptr for any other).
    void Fill(const ReceiverState& state, web::StationHealth& health,
              const io::StreamCounts* network = nullptr);

  private:
    QElapsedTimer started_;
    int64_t firstFreeBytes_ = -1;
    int64_t firstFreeMs_ = 0;
};

// Adds a block observer that publishes the panels and the numbers to `view`
// after the first block and then at most once a second, and publishes the
// panels as they are now at once.  `view` and `wave` must outlive the
// processing of blocks.
void AttachWebView(ReceiverState& state, web::WebView& view, const io::WaveInput& wave);

// WebViewConfigFor, Start and AttachWebView in one: the running view, or
// nullptr with a one-line reason.
std::unique_ptr<web::WebView> StartWebView(const ReceiverOptions& options, ReceiverState& state,
                                           const io::WaveInput& wave, QString& error);

} // namespace session
