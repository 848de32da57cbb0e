// SPDX-License-Identifier: GPL-3.0-or-later
// The five panels after a fixed generated two-path recording has gone through
// the whole chain with the painters installed, compared with stored pictures.
// Regenerate the pictures after an intended change with
//   PROPMON_UPDATE_GOLDEN=1 rx_display_test --gtest_filter='GoldenPanels.*'
// and look at them before committing.  On a mismatch the pictures of the run
// are left in the temporary folder named in the failure message.
#include "receiver/display/painters.h"
#include "s4285gen/s4285gen.h"

#include <QDir>
#include <QImage>
#include <QRect>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <vector>

#ifndef GOLDEN_DIR
#error "GOLDEN_DIR must name receiver/display/tests/golden"
#endif

namespace display {
namespace {

constexpr int Blocks = 700; // about 75 s: 350 correlogram columns, 10 dopplergram columns

struct ChannelRun {
    std::unique_ptr<dsp::ChainState> Chain;
    dsp::Settings Settings;
    dsp::ChainControls Controls;
    DisplayState Display;
    int64_t SamplesFed = 0;
};

// Two paths 2.5 ms apart with opposite Doppler shifts, NATO mode.
s4285gen::Config TwoPathChannel() {
    s4285gen::Config config = s4285gen::NatoConfig();
    config.Paths = {s4285gen::Path{.DelayMs = 1.0, .GainDb = 0.0, .DopplerHz = 0.6},
                    s4285gen::Path{.DelayMs = 3.5, .GainDb = -4.0, .DopplerHz = -1.1}};
    config.SnrDb = 20;
    config.Seed = 4285;
    return config;
}

void Feed(ChannelRun& run) {
    run.Chain = dsp::MakeChain(dsp::ModeNato, run.Controls, run.Settings);
    // The recording's own clock: it starts at 12:00:00.
    run.Display.Clock = [&run] {
        const int64_t seconds = 12 * 3600 + run.SamplesFed / 9600;
        return TimeOfDay{static_cast<int32_t>(seconds / 3600 % 24),
                         static_cast<int32_t>(seconds / 60 % 60),
                         static_cast<int32_t>(seconds % 60)};
    };
    const dsp::DisplayHooks hooks = MakeDisplayHooks(run.Display, run.Settings, run.Controls);
    s4285gen::Generator generator(TwoPathChannel());
    std::vector<int16_t> buffer(1024);
    for (int b = 0; b < Blocks; ++b) {
        generator.Generate(buffer.data(), buffer.size());
        dsp::ResampleBuffer(*run.Chain, run.Settings, run.Controls, hooks, buffer.data(), 2048);
        run.SamplesFed += 1024;
    }
}

struct PanelCase {
    const char* Name;
    const PanelImage* Image;
    QRect Glyphs; // where time text renders: the only place differences are allowed
};

// Counts differing pixels inside and outside the glyph area.
std::pair<int, int> Differences(const QImage& actual, const QImage& expected, QRect glyphs) {
    int inside = 0, outside = 0;
    for (int y = 0; y < actual.height(); ++y)
        for (int x = 0; x < actual.width(); ++x)
            if ((actual.pixel(x, y) | 0xFF000000u) != (expected.pixel(x, y) | 0xFF000000u))
                ++(glyphs.contains(x, y) ? inside : outside);
    return {inside, outside};
}

TEST(GoldenPanels, TwoPathRecordingThroughTheChainMatchesTheStoredPictures) {
    ChannelRun run;
    Feed(run);
    const DisplayState& d = run.Display;
    const PanelCase panels[] = {
        {"final-correlation.png", &d.CorrelationImage, QRect()},
        {"final-correlogram.png", &d.CorrelogramImage, QRect(0, 200, 561, 16)},
        {"final-dopplergram.png", &d.DopplergramImage, QRect(0, 256, 401, 15)},
        {"final-scattergram.png", &d.ScattergramImage, QRect(0, 240, 68, 15)},
        {"final-tune.png", &d.TuneImage, QRect()},
    };
    const QDir golden(QStringLiteral(GOLDEN_DIR));
    if (qEnvironmentVariableIsSet("PROPMON_UPDATE_GOLDEN")) {
        ASSERT_TRUE(WritePanelPngs(run.Display, golden.path()));
        GTEST_SKIP() << "golden pictures rewritten in " << golden.path().toStdString();
    }
    const QString scratch = QDir::temp().filePath("propmon-golden-actual");
    bool saved = false;
    for (const PanelCase& panel : panels) {
        const QImage expected(golden.filePath(panel.Name));
        ASSERT_FALSE(expected.isNull()) << "missing golden " << panel.Name;
        const QImage& actual = panel.Image->Image();
        ASSERT_EQ(actual.size(), expected.size()) << panel.Name;
        const auto [inside, outside] = Differences(actual, expected, panel.Glyphs);
        const int glyphAllowance = panel.Glyphs.width() * panel.Glyphs.height() / 4;
        if (outside != 0 || inside > glyphAllowance) {
            if (!saved) saved = QDir().mkpath(scratch) && WritePanelPngs(run.Display, scratch);
            ADD_FAILURE() << panel.Name << ": " << outside << " pixels differ outside the text, "
                          << inside << " inside; this run's pictures are in "
                          << scratch.toStdString();
        }
    }
}

// The pictures must show what the channel holds, not only match themselves.
TEST(GoldenPanels, PathsShowAtTheirDelaysAndDopplerShifts) {
    ChannelRun run;
    Feed(run);
    // Correlogram: the paths 2.5 ms (12 baseband samples, 24 rows) apart; the
    // stronger, earlier one lower down.
    const PanelImage& gram = run.Display.CorrelogramImage;
    std::vector<double> rowMean(199);
    for (int y = 0; y < 199; ++y) {
        double sum = 0;
        for (int x = 300; x < 550; ++x)
            sum += qRed(gram.PixelAt(x, y));
        rowMean[y] = sum / 250.0;
    }
    // Darkest row of the lowest band, then the darkest row 16..32 rows above it.
    int strong = 198;
    for (int y = 198; y >= 100; --y)
        if (rowMean[y] < rowMean[strong]) strong = y;
    int weak = strong - 16;
    for (int y = strong - 16; y >= strong - 32; --y)
        if (rowMean[y] < rowMean[weak]) weak = y;
    EXPECT_LT(rowMean[strong], 200.0);
    EXPECT_LT(rowMean[weak], 225.0);
    EXPECT_LT(rowMean[strong], rowMean[weak]);
    EXPECT_NEAR(strong - weak, 24, 1);

    // Dopplergram: +0.6 Hz on row 128 - 0.6 / (9600 / 262144) = 111.6 and
    // -1.1 Hz on row 158.0; positive Doppler above the zero row.
    const PanelImage& doppler = run.Display.DopplergramImage;
    auto darkestRow = [&](int from, int to) {
        int best = from;
        for (int y = from; y <= to; ++y)
            if (qRed(doppler.PixelAt(397, y)) < qRed(doppler.PixelAt(397, best))) best = y;
        return best;
    };
    EXPECT_NEAR(darkestRow(90, 135), 112, 1);
    EXPECT_NEAR(darkestRow(140, 180), 158, 1);
}

} // namespace
} // namespace display
