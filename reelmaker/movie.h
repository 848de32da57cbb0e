// SPDX-License-Identifier: GPL-3.0-or-later
// Writing a movie: the frame-rate rule, the progress text and one run of the writer,
// shared by the window and batch mode.
#pragma once

#include "reelmaker/avi_writer.h"
#include "reelmaker/codecs.h"

#include "savefile/pending_file.h"

#include <QFile>
#include <QImage>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace reelmaker {

// The leading number of the text (spaces, tabs and line feeds skipped, optional sign,
// digits with an optional point) rounded to nearest, ties to even; 0 without a number.
// Empty when the number does not fit 32 bits.
std::optional<int32_t> ReadFrameRate(const QString& text);
// Why a frame rate cannot be used, or empty when it can.
QString FrameRateProblem(const QString& text);

// A number with one leading space unless negative, no trailing zeros.
std::string NumberText(long double value);
// dwQuality / 100 exactly, in the form above ("75.5" for 7550).
std::string QualityText(uint32_t dwQuality);
// The status box text while frame n of m is written.
std::string ProgressText(int64_t n, int64_t m, uint32_t fccHandler, uint32_t dwQuality);

enum class FrameResult { Written, Skipped, Failed };

// One movie being written to a temporary file next to its final name. A writer that is
// destroyed before MovieFinish succeeded drops its temporary file and frees its encoder,
// so an existing movie of that name stays as it was on every way out.
struct MovieWriter {
    // The temporary file, and the device the AVI writer writes it through.
    std::unique_ptr<savefile::PendingFile> Output;
    std::unique_ptr<QFile> File;
    AviFile Avi;
    FrameEncoder Encoder;
    std::vector<EncodedFrame> Pending;
    std::vector<uint8_t> FullFrame; // reused for every full frame
    std::string Error;
};

// Creates the temporary file and fills the stream information.
bool MovieOpen(MovieWriter& movie, const QString& path, int32_t rate);
// Checks the stream information: a rate below 1 makes no stream.
bool MovieCreateStream(MovieWriter& movie, int32_t rate);
// Sets up the encoder of the options' codec.
bool MovieSetCodec(MovieWriter& movie, const CompressOptions& options);
// Writes the headers with the stream format.
bool MovieSetFormat(MovieWriter& movie);
// Encodes and writes one frame. Skipped: the encoder refused this frame, an empty chunk
// keeps the later frames in place. Failed: the file cannot be written any more.
FrameResult MovieWriteFrame(MovieWriter& movie, const QImage& frame);
// Completes the file and renames it into place.
bool MovieFinish(MovieWriter& movie);
// Drops the temporary file now, as destroying the writer would.
void MovieAbandon(MovieWriter& movie);

} // namespace reelmaker
