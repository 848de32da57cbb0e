// SPDX-License-Identifier: GPL-3.0-or-later
// Frames per second of `reelmaker --batch` against ffmpeg doing the same work: 400
// correlogram-sized pictures (560 x 216, 24-bit BMP) fitted into 564 x 400 on grey 196
// and written as Motion JPEG or as full frames. Both programs run as child processes
// alternately in the same loop, so the ratio comes from one run on the same machine load.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr int PictureCount = 400;

// A grey-scale gram: a few bright paths drifting over noise.
QImage CorrelogramPicture(int index) {
    QImage image(560, 216, QImage::Format_RGB888);
    uint32_t noise = 12345u + static_cast<uint32_t>(index) * 7919u;
    for (int y = 0; y < 216; ++y) {
        uchar* line = image.scanLine(y);
        for (int x = 0; x < 560; ++x) {
            noise = noise * 1664525u + 1013904223u;
            int v = static_cast<int>((noise >> 24) & 0x3F);
            for (int path = 0; path < 3; ++path) {
                const int centre = 60 + path * 50 + (x + index) % 7;
                const int d = y - centre;
                if (d * d < 16) v += 160 - 40 * path;
            }
            v = std::min(v, 255);
            line[3 * x] = line[3 * x + 1] = line[3 * x + 2] = static_cast<uchar>(v);
        }
    }
    return image;
}

struct Pictures {
    QTemporaryDir Dir;
    QStringList Paths;
    Pictures() {
        for (int i = 0; i < PictureCount; ++i) {
            Paths << Dir.filePath(QString("gram%1.bmp").arg(i, 3, 10, QChar('0')));
            if (!CorrelogramPicture(i).save(Paths.back(), "BMP")) std::abort();
        }
    }
};

double RunSeconds(const QString& program, const QStringList& args) {
    QProcess p;
    p.setStandardOutputFile(QProcess::nullDevice());
    p.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    p.start(program, args);
    if (!p.waitForFinished(-1) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        std::fprintf(stderr, "%s failed\n", qPrintable(program));
        std::abort();
    }
    return timer.nsecsElapsed() / 1e9;
}

void BatchAgainstFfmpeg(benchmark::State& state, const char* code, QStringList ffmpegCodec) {
    static Pictures pictures; // made once, outside the timed loop
    const QString ours = pictures.Dir.filePath("ours.avi");
    const QString theirs = pictures.Dir.filePath("ffmpeg.avi");
    const QStringList reelArgs = QStringList{"--batch", "-o", ours, "--fps", "15", "--codec", code}
                                 << pictures.Paths;
    const QStringList ffmpegArgs = QStringList{"-v",
                                               "error",
                                               "-y",
                                               "-framerate",
                                               "15",
                                               "-i",
                                               pictures.Dir.filePath("gram%03d.bmp"),
                                               "-vf",
                                               "scale=564:218,pad=564:400:0:91:color=0xC4C4C4"}
                                   << ffmpegCodec << theirs;
    double oursSeconds = 0, theirsSeconds = 0;
    for (auto _ : state) {
        oursSeconds += RunSeconds(REELMAKER_EXE, reelArgs);
        theirsSeconds += RunSeconds("ffmpeg", ffmpegArgs);
    }
    const double runs = static_cast<double>(state.iterations());
    state.counters["reelmaker_fps"] = PictureCount * runs / oursSeconds;
    state.counters["ffmpeg_fps"] = PictureCount * runs / theirsSeconds;
    state.counters["ratio"] = theirsSeconds / oursSeconds; // >= 1: not slower than ffmpeg
}

BENCHMARK_CAPTURE(BatchAgainstFfmpeg, MotionJpeg, "MJPG", {"-c:v", "mjpeg"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);
BENCHMARK_CAPTURE(BatchAgainstFfmpeg, FullFrames, "DIB", {"-c:v", "rawvideo", "-pix_fmt", "bgr24"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
