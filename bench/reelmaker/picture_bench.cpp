// SPDX-License-Identifier: GPL-3.0-or-later
// Loading and fitting a large photo into the preview: decoded straight to its fitted size
// (what reelmaker does for pictures at least four times the box) against decoded whole
// and then scaled. Both run alternately in the same loop, so the ratio comes from one run.
#include "reelmaker/picture.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImageReader>
#include <QProcess>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>

namespace {

// A camera-sized JPEG (ffmpeg's test pattern), made once outside the timed loop.
QString Photo(int width, int height) {
    static QTemporaryDir dir;
    const QString path = dir.filePath(QString("photo%1x%2.jpg").arg(width).arg(height));
    if (QFile::exists(path)) return path;
    QProcess ffmpeg;
    ffmpeg.start("ffmpeg", {"-v", "error", "-y", "-f", "lavfi", "-i",
                            QString("testsrc2=size=%1x%2").arg(width).arg(height), "-frames:v", "1",
                            "-q:v", "3", path});
    if (!ffmpeg.waitForFinished(-1) || ffmpeg.exitCode() != 0) {
        std::fprintf(stderr, "cannot make %s\n", qPrintable(path));
        std::abort();
    }
    return path;
}

void LoadFittedAgainstWhole(benchmark::State& state) {
    const QString path = Photo(int(state.range(0)), int(state.range(1)));
    double reducedSeconds = 0, wholeSeconds = 0;
    qint64 reducedBytes = 0, wholeBytes = 0;
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        reelmaker::PreviewState reduced = reelmaker::MakePreviewState();
        if (!reelmaker::ShowPicture(reduced, path)) std::abort();
        reducedSeconds += timer.nsecsElapsed() / 1e9;
        reducedBytes = reduced.Current->sizeInBytes();

        timer.restart();
        reelmaker::PreviewState whole = reelmaker::MakePreviewState();
        QImageReader reader(path);
        QImage picture;
        if (!reader.read(&picture)) std::abort();
        whole.CurrentWidth = uint32_t(picture.width());
        whole.CurrentHeight = uint32_t(picture.height());
        wholeBytes = picture.sizeInBytes();
        whole.Current = std::move(picture);
        reelmaker::DrawPicture(whole);
        wholeSeconds += timer.nsecsElapsed() / 1e9;
        benchmark::DoNotOptimize(whole.Shown.constBits());
    }
    const double runs = double(state.iterations());
    state.counters["fitted_ms"] = 1000 * reducedSeconds / runs;
    state.counters["whole_ms"] = 1000 * wholeSeconds / runs;
    state.counters["ratio"] = wholeSeconds / reducedSeconds; // > 1: decoding fitted is faster
    state.counters["fitted_MB"] = reducedBytes / 1e6;
    state.counters["whole_MB"] = wholeBytes / 1e6;
}

// 12 megapixels (common), 24 megapixels; 48 megapixels loads only fitted (above Qt's limit).
BENCHMARK(LoadFittedAgainstWhole)
    ->Args({4000, 3000})
    ->Args({6000, 4000})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(5);

} // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
