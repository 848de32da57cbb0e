// SPDX-License-Identifier: GPL-3.0-or-later
// What the measurement shares and writes without changing a bit: the pulse
// shape made once for tables alike, and the tables' numbers written as printf
// writes them.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <numbers>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "receiver/analysis/block_table.h"
#include "receiver/analysis/channel_table.h"
#include "receiver/analysis/lag_kernels.h"
#include "receiver/analysis/measurement.h"
#include "receiver/analysis/pulse_shape.h"
#include "receiver/analysis/signal_quality.h"
#include "receiver/dsp/tables.h"

namespace analysis {
namespace {
// ---- The pulse shape, made once for tables alike ----------------------------------

TEST(SharedPulseShape, TablesAlikeShareOneShapeAndOtherTablesGetTheirOwn) {
    auto tables = std::make_unique<dsp::SignalTables>();
    dsp::BuildSignalTables(*tables, dsp::TableBuild::StraightThrough);
    const auto first = SharedPulseShape(*tables);
    auto again = std::make_unique<dsp::SignalTables>(*tables);
    EXPECT_EQ(SharedPulseShape(*again).get(), first.get());
    // The one shared is the one these tables make.
    const PulseShape made(*tables);
    for (int32_t steps = -PulseShape::ReachLags * PulseShape::StepsPerLag;
         steps <= PulseShape::ReachLags * PulseShape::StepsPerLag; ++steps)
        ASSERT_EQ(first->AmplitudeAt(steps), made.AmplitudeAt(steps)) << steps;
    EXPECT_EQ(first->ImageShare(), made.ImageShare());
    EXPECT_EQ(first->Snr3kPerBaseband(9600), made.Snr3kPerBaseband(9600));
    EXPECT_EQ(first->InputPowerOfSyncPeak(1.0), made.InputPowerOfSyncPeak(1.0));
    // Another lowpass, or another preamble reference: another shape.
    again->LowpassTaps[3] *= 1.5f;
    const auto otherLowpass = SharedPulseShape(*again);
    EXPECT_NE(otherLowpass.get(), first.get());
    EXPECT_NE(otherLowpass->ImageShare(), first->ImageShare());
    auto third = std::make_unique<dsp::SignalTables>(*tables);
    third->PeakReference[5] = -third->PeakReference[5];
    EXPECT_NE(SharedPulseShape(*third).get(), first.get());
    EXPECT_NE(SharedPulseShape(*third).get(), otherLowpass.get());
    EXPECT_EQ(SharedPulseShape(*third).get(), SharedPulseShape(*third).get());
}

// The image's share as it was first written: every point's gain worked out
// on its own.
double ImageShareAtEveryPoint(const dsp::SignalTables& tables) {
    const auto spectrum = [](double f) {
        const double edge = (1.0 - 0.35) / (2.0 * 4), end = (1.0 + 0.35) / (2.0 * 4);
        const double a = std::abs(f);
        if (a <= edge) return 1.0;
        if (a >= end) return 0.0;
        return 0.5 * (1.0 + std::cos(std::numbers::pi * (a - edge) / (end - edge)));
    };
    double signal = 0.0, image = 0.0;
    for (int32_t i = 0; i < 4096; ++i) {
        const double f = -0.5 + (i + 0.5) / 4096;
        double re = 0.0, im = 0.0;
        for (int32_t k = 0; k < dsp::LowpassLen; ++k) {
            re += tables.LowpassTaps[size_t(k)] * std::cos(2.0 * std::numbers::pi * f * k);
            im -= tables.LowpassTaps[size_t(k)] * std::sin(2.0 * std::numbers::pi * f * k);
        }
        const double gain = re * re + im * im;
        double moved = f + 2.0 * 3.0 / 16.0;
        if (moved >= 0.5) moved -= 1.0;
        signal += gain * spectrum(f);
        image += gain * spectrum(moved);
    }
    return image / signal;
}

TEST(SharedPulseShape, ImageShareIsToTheBitTheOneEveryPointWorkedOutGives) {
    auto tables = std::make_unique<dsp::SignalTables>();
    dsp::BuildSignalTables(*tables, dsp::TableBuild::StraightThrough);
    EXPECT_EQ(PulseShape(*tables).ImageShare(), ImageShareAtEveryPoint(*tables));
    // And for a lowpass with no symmetry of its own.
    for (int32_t k = 0; k < dsp::LowpassLen; ++k)
        tables->LowpassTaps[size_t(k)] *= 1.0f + 0.01f * float(k % 5);
    EXPECT_EQ(PulseShape(*tables).ImageShare(), ImageShareAtEveryPoint(*tables));
}

// ---- The tables' numbers ----------------------------------------------------------

// The rows' numbers as printf wrote them, for every value a double can hold:
// the rows are read back by other programs, which must find the same digits.
std::string Printed(const char* format, double value) {
    char text[400];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// (Whole: a row used to be cut short after 159 characters, and a huge
// value took the columns after it away.)
std::string BlockRowByPrintf(const BlockRow& row) {
    char text[1000];
    std::snprintf(text, sizeof text, "%lld,%.6f,%d,%.17g,%d,%.2f,%d",
                  static_cast<long long>(row.Block), row.TimeS, row.PeakLag, row.DopplerHz,
                  row.TuneHz, row.PeakSnrDb, row.Locked ? 1 : 0);
    std::string line = text;
    const auto path = [&](const std::optional<FurtherPath>& p) {
        line += p ? "," + Printed("%.3f", p->DelayMs) + "," + Printed("%.2f", p->RelDb) : ",,";
    };
    const auto cell = [&](const std::optional<double>& v) {
        line += "," + (v ? Printed("%.2f", *v) : "");
    };
    path(row.Paths[0]);
    path(row.Paths[1]);
    cell(row.SnrDb);
    line += "," + FlagWords(row.Flags);
    cell(row.Path1Lag);
    cell(row.Path1Dbfs);
    path(row.Paths[2]);
    return line;
}

std::string ChannelRowByPrintf(const ChannelRow& row) {
    std::string line = row.Utc + "," + Printed("%.3f", row.StartS) + "," +
                       std::to_string(row.Blocks) + "," + Printed("%.3f", row.LockedShare);
    const auto cell = [&](const std::optional<double>& v, const char* format) {
        line += "," + (v ? Printed(format, *v) : "");
    };
    cell(row.SnrDb, "%.2f");
    cell(row.MultipathSpreadMs, "%.3f");
    cell(row.RmsDelaySpreadMs, "%.3f");
    for (const auto& p : row.Paths) {
        if (!p) {
            line += ",,,,";
            continue;
        }
        cell(p->DelayMs, "%.3f");
        cell(p->RelDb, "%.2f");
        cell(p->DopplerHz, "%.3f");
        cell(p->DopplerSpreadHz, "%.3f");
    }
    return line;
}

// The noise floor's median: the value std::nth_element puts at k, to the bit,
// for sync powers spread over decades, values alike, signs, zeros and few values.
TEST(Floors, KthSmallestIsTheValueNthElementPutsThere) {
    std::mt19937 random(7);
    std::uniform_real_distribution<float> decades(-12.0f, 6.0f);
    std::uniform_int_distribution<int> few(0, 3);
    int checked = 0;
    for (int round = 0; round < 4000; ++round) {
        const auto count = int32_t(1 + random() % 512);
        std::vector<float> values(static_cast<size_t>(count));
        for (float& v : values) {
            switch (round % 4) {
            case 0:
                v = std::pow(10.0f, decades(random));
                break;
            case 1:
                v = float(few(random)) * 0.25f;
                break;
            case 2:
                v = (random() % 2 != 0 ? -1.0f : 1.0f) * std::pow(10.0f, decades(random));
                break;
            default:
                v = 1.0f + float(few(random)) * std::numeric_limits<float>::epsilon();
                break;
            }
        }
        const auto k = int32_t(random() % uint32_t(count));
        std::vector<float> sorted = values;
        std::nth_element(sorted.begin(), sorted.begin() + k, sorted.end());
        const float kth = KthSmallest(values.data(), count, k);
        ASSERT_EQ(std::bit_cast<uint32_t>(kth), std::bit_cast<uint32_t>(sorted[size_t(k)]))
            << "round " << round << ", " << count << " values, k " << k;
        ++checked;
    }
    EXPECT_EQ(checked, 4000);
}

TEST(Tables, NumbersAreWrittenAsPrintfWritesThem) {
    // Ties at every precision, signed zeros and small negatives that round to
    // them, NaN of both signs, infinities, the largest and the smallest
    // values, values about 10^12 (where the rows' own rounding hands over to
    // the library's); then random bit patterns and values of the columns'
    // sizes.
    std::vector<double> values = {0.0,
                                  -0.0,
                                  -0.001,
                                  -0.004,
                                  0.005,
                                  0.015,
                                  0.125,
                                  -0.125,
                                  2.5e-7,
                                  -5e-7,
                                  0.0005,
                                  1.0005,
                                  99.995,
                                  1e21,
                                  -1e300,
                                  5e-324,
                                  1e-310,
                                  NAN,
                                  -NAN,
                                  INFINITY,
                                  -INFINITY,
                                  0.1 + 0.2,
                                  1.7976931348623157e308,
                                  12345.678949999,
                                  999999999999.99951,
                                  1e12,
                                  -1e12,
                                  4503599627370495.5};
    std::mt19937_64 rng(4285);
    std::uniform_real_distribution<double> column(-200.0, 200.0);
    for (int n = 0; n < 20000; ++n) {
        values.push_back(std::bit_cast<double>(rng()));
        values.push_back(column(rng));
        values.push_back(std::round(column(rng) * 1000.0) / 1000.0 + 0.0005);
        // Halves of the last decimal exactly (eighths and below): to even.
        values.push_back(std::round(column(rng) * 8.0) / 8.0 / double(1 << (n % 8)));
    }
    int mismatches = 0;
    for (size_t n = 0; n < values.size(); ++n) {
        const double v = values[n];
        const double w = values[(n * 7 + 3) % values.size()];
        BlockRow row;
        row.Block = int64_t(n) * 1000003 - 500000;
        row.TimeS = v;
        row.PeakLag = int32_t(n % 512);
        row.DopplerHz = w;
        row.TuneHz = -int32_t(n % 7);
        row.PeakSnrDb = w;
        row.Locked = n % 2 == 0;
        row.Paths[n % 3] = FurtherPath{v, w};
        if (n % 4 != 0) row.SnrDb = v;
        row.Flags = uint32_t(n % 3 == 0 ? 0 : FlagClipping | FlagClockStep);
        if (n % 5 != 0) row.Path1Lag = w;
        row.Path1Dbfs = v;
        ChannelRow channel;
        channel.Utc = "2026-12-07T14:05:00Z";
        channel.StartS = v;
        channel.Blocks = int64_t(n);
        channel.LockedShare = w;
        if (n % 3 != 0) channel.SnrDb = w;
        channel.MultipathSpreadMs = v;
        channel.Paths[n % 4] = ChannelPath{v, w, v, std::nullopt};
        if (FormatBlockRow(row) != BlockRowByPrintf(row) ||
            FormatChannelRow(channel) != ChannelRowByPrintf(channel)) {
            if (++mismatches <= 5)
                ADD_FAILURE() << FormatBlockRow(row) << "\n"
                              << BlockRowByPrintf(row) << "\n"
                              << FormatChannelRow(channel) << "\n"
                              << ChannelRowByPrintf(channel);
        }
    }
    EXPECT_EQ(mismatches, 0);
    // A row appended to a kept line adds itself and nothing else.
    std::string line = "kept";
    BlockRow row;
    row.DopplerHz = 0.1;
    AppendBlockRow(line, row);
    EXPECT_EQ(line, "kept" + FormatBlockRow(row));
}

} // namespace
} // namespace analysis
