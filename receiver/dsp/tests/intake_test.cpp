// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <random>

#include "receiver/dsp/tests/chain_fixture.h"

namespace dsp {
namespace {

using testing::ReadyChain;

// Every sample the resampler hands to the intake, in order, read back from the
// blocks (gain 1).
struct OutputRecorder {
    std::vector<float> Outputs;
    int Blocks = 0;
    void Install(ReadyChain& r) {
        r.Hooks.TuneIndicator = [this, &r](int32_t) {
            const int first = Blocks == 0 ? 1 : 0; // the first block starts at position 1
            Outputs.insert(Outputs.end(), r.Chain->Intake.SampleBlock.begin() + first,
                           r.Chain->Intake.SampleBlock.begin() + BlockLen);
            ++Blocks;
        };
    }
    std::vector<float> All(const ReadyChain& r) const {
        std::vector<float> all = Outputs;
        const int first = Blocks == 0 ? 1 : 0;
        if (r.Chain->Intake.WritePos != BlockLen - 1 || Blocks == 0)
            all.insert(all.end(), r.Chain->Intake.SampleBlock.begin() + first,
                       r.Chain->Intake.SampleBlock.begin() + r.Chain->Intake.WritePos + 1);
        return all;
    }
};

// The resampler over one unbroken stream, as a plain loop; also returns the
// output numbers at which an input sample was skipped or used twice.
struct Reference {
    std::vector<float> Outputs;
    std::vector<int> Skips;
    std::vector<int> Repeats;
};
Reference ResampleUnbroken(const std::vector<int16_t>& s, long double epsilon) {
    Reference ref;
    const auto at = [&](long j) -> long double {
        return j >= 0 && j < long(s.size()) ? s[size_t(j)] : 0;
    };
    float frac = 0;
    for (long i = 0; i <= long(s.size()) - 1;) {
        if (frac > 1.0f) {
            frac = frac - 1.0f;
            ++i;
            ref.Skips.push_back(int(ref.Outputs.size()));
        }
        if (frac < 0.0f) {
            frac = frac + 1.0f;
            --i;
            ref.Repeats.push_back(int(ref.Outputs.size()));
        }
        ref.Outputs.push_back(
            float(at(i) * frac / 32767.0L + at(i - 1) * (1.0L - frac) / 32767.0L));
        frac = float(frac + epsilon);
        ++i;
    }
    return ref;
}

std::vector<int16_t> Noise(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> dist(-30000, 30000);
    std::vector<int16_t> s(n);
    for (auto& v : s)
        v = int16_t(dist(rng));
    return s;
}

// Every 16-bit value, in buffers of any length (empty ones too), comes out
// one sample late as the long double quotient rounded to float.
TEST(Resampler, WithoutCorrectionTheStreamIsDelayedByOneSample) {
    ReadyChain r;
    OutputRecorder rec;
    rec.Install(r);
    std::vector<int16_t> s(65536 + 3000);
    for (size_t k = 0; k < 65536; ++k)
        s[k] = int16_t(int32_t(k) - 32768);
    std::mt19937 rng(1);
    std::shuffle(s.begin(), s.begin() + 65536, rng);
    const auto tail = Noise(3000, 1);
    std::copy(tail.begin(), tail.end(), s.begin() + 65536);
    std::uniform_int_distribution<int> len(0, BlockLen);
    std::array<int16_t, BlockLen> buffer{};
    for (size_t pos = 0; pos < s.size();) {
        const size_t n = std::min<size_t>(size_t(len(rng)), s.size() - pos);
        std::copy_n(s.begin() + long(pos), n, buffer.begin());
        ResampleBuffer(*r.Chain, r.Settings, r.Controls, r.Hooks, buffer.data(), int64_t(2 * n));
        pos += n;
    }
    const auto out = rec.All(r);
    ASSERT_EQ(out.size(), s.size());
    EXPECT_EQ(std::bit_cast<uint32_t>(out[0]), 0u);
    for (size_t k = 1; k < s.size(); ++k)
        ASSERT_EQ(std::bit_cast<uint32_t>(out[k]),
                  std::bit_cast<uint32_t>(float(s[k - 1] / 32767.0L)))
            << k << " " << s[k - 1];
    EXPECT_EQ(r.Chain->Intake.ResampleFrac, 0.0f);
}

TEST(Resampler, PositiveCorrectionSkipsFirstAtOutput1001ThenAboutEvery1000) {
    const auto s = Noise(6000, 2);
    const auto ref = ResampleUnbroken(s, 0.001L);
    ASSERT_GE(ref.Skips.size(), 4u);
    EXPECT_EQ(ref.Skips[0], 1001);
    for (size_t j = 1; j < ref.Skips.size(); ++j)
        EXPECT_NEAR(ref.Skips[j] - ref.Skips[j - 1], 1000, 2);
    EXPECT_TRUE(ref.Repeats.empty());

    ReadyChain r;
    r.Settings.ClockPpm = 1000;
    OutputRecorder rec;
    rec.Install(r);
    r.Feed(s);
    const auto out = rec.All(r);
    ASSERT_EQ(out.size(), ref.Outputs.size());
    for (size_t k = 0; k < out.size(); ++k)
        ASSERT_EQ(out[k], ref.Outputs[k]) << k;
}

TEST(Resampler, NegativeCorrectionStepsBackAtOutput1AndRepeatsAboutEvery1000) {
    const auto s = Noise(5000, 3);
    const auto ref = ResampleUnbroken(s, -0.001L);
    ASSERT_GE(ref.Repeats.size(), 4u);
    EXPECT_EQ(ref.Repeats[0], 1);
    for (size_t j = 1; j < ref.Repeats.size(); ++j)
        EXPECT_NEAR(ref.Repeats[j] - ref.Repeats[j - 1], 1000, 2);

    ReadyChain r;
    r.Settings.ClockOffset = -0.001L;
    OutputRecorder rec;
    rec.Install(r);
    r.Feed(s);
    const auto out = rec.All(r);
    ASSERT_EQ(out.size(), ref.Outputs.size());
    for (size_t k = 0; k < out.size(); ++k)
        ASSERT_EQ(out[k], ref.Outputs[k]) << k;
}

TEST(Resampler, StreamCutIntoAnyBuffersGivesTheSameOutputAsOneUnbrokenStream) {
    for (const long double epsilon : {0.0L, 0.00137L, -0.0021L, 0.3L, -0.3L}) {
        const auto s = Noise(20000, 4);
        const auto ref = ResampleUnbroken(s, epsilon);

        ReadyChain r;
        r.Settings.ClockPpm = epsilon * 1000000.0L;
        OutputRecorder rec;
        rec.Install(r);
        std::mt19937 rng(5);
        std::uniform_int_distribution<int> len(0, BlockLen);
        std::array<int16_t, BlockLen> buffer{};
        for (size_t pos = 0; pos < s.size();) {
            const size_t n = std::min<size_t>(size_t(len(rng)), s.size() - pos);
            std::copy_n(s.begin() + long(pos), n, buffer.begin());
            ResampleBuffer(*r.Chain, r.Settings, r.Controls, r.Hooks, buffer.data(),
                           int64_t(2 * n));
            pos += n;
        }
        const auto out = rec.All(r);
        // The unbroken loop may end with a skip that reads past the end; all
        // outputs before it agree.
        ASSERT_GE(out.size() + 1, ref.Outputs.size());
        const size_t n = std::min(out.size(), ref.Outputs.size());
        for (size_t k = 0; k < n; ++k)
            ASSERT_EQ(out[k], ref.Outputs[k]) << double(epsilon) << " " << k;
    }
}

// The resampler places runs of outputs at once where the fraction strides
// evenly and forms them in double where that settles the rounding: over
// corrections of every size and sign (halves and quarters of a float's unit
// among them, where rounding to even decides), fractions near 0 and 1, full
// scale and quiet samples, and any cut into buffers, every output is the
// long double loop's.
TEST(Resampler, EveryCorrectionGivesTheLongDoubleLoopsOutputsBitForBit) {
    std::vector<long double> corrections = {
        1e-12L, -1e-12L, 2.9e-9L, -3.7e-8L, 1.0e-6L, -2.5e-6L, 4.96e-5L, -1.2345e-4L, 0.0137L,
        0.49L, -0.49L,
        // units of the float fraction and their halves
        0x1.0p-25L, 0x1.0p-24L, -0x1.0p-25L, 3 * 0x1.0p-26L, 0x1.0p-26L + 0x1.0p-60L,
        // the fraction lands on 1 exactly
        0.3L, 0.1L, -0.3L,
        // half a unit of the top binades over a whole number of units: ties
        0.25L + 0x1.0p-25L, 0.125L + 0x1.0p-26L, -0.25L - 0x1.0p-25L};
    std::mt19937 rng(9);
    std::uniform_real_distribution<double> exponent(-11.0, -0.5);
    for (int k = 0; k < 24; ++k)
        corrections.push_back((k % 2 ? -1 : 1) * std::pow(10.0L, exponent(rng)));
    std::vector<int16_t> s = Noise(12000, 11);
    for (size_t k = 0; k < s.size(); k += 97) // full scale, and runs of quiet samples
        s[k] = k % 2 ? 32767 : -32768;
    for (size_t k = 3000; k < 3300; ++k)
        s[k] = int16_t(k % 3 - 1);
    for (const long double epsilon : corrections) {
        const auto ref = ResampleUnbroken(s, epsilon);
        ReadyChain r;
        r.Settings.ClockOffset = epsilon;
        OutputRecorder rec;
        rec.Install(r);
        std::uniform_int_distribution<int> len(1, BlockLen);
        std::array<int16_t, BlockLen> buffer{};
        for (size_t pos = 0; pos < s.size();) {
            const size_t n = std::min<size_t>(size_t(len(rng)), s.size() - pos);
            std::copy_n(s.begin() + long(pos), n, buffer.begin());
            ResampleBuffer(*r.Chain, r.Settings, r.Controls, r.Hooks, buffer.data(),
                           int64_t(2 * n));
            pos += n;
        }
        const auto out = rec.All(r);
        ASSERT_GE(out.size() + 1, ref.Outputs.size()) << double(epsilon);
        const size_t n = std::min(out.size(), ref.Outputs.size());
        for (size_t k = 0; k < n; ++k)
            ASSERT_EQ(std::bit_cast<uint32_t>(out[k]), std::bit_cast<uint32_t>(ref.Outputs[k]))
                << double(epsilon) << " " << k;
    }
}

// A correction set back to none leaves the fraction where it stood, and
// there it stays: every output from then on lies that far between its two
// input samples.  Fed a sample at a time the resampler never strides, so
// whole buffers must give the same outputs bit for bit.
TEST(Resampler, CorrectionSetBackToNoneHoldsTheFractionBitForBit) {
    const std::vector<int16_t> s = Noise(6 * BlockLen, 12);
    float heldFrac = 0.0f;
    const auto run = [&](size_t bufferLen) {
        ReadyChain r;
        OutputRecorder rec;
        rec.Install(r);
        std::array<int16_t, BlockLen> buffer{};
        for (size_t pos = 0; pos < s.size(); pos += bufferLen) {
            r.Settings.ClockOffset = pos < 2 * BlockLen ? 0.0137L : 0.0L;
            const size_t n = std::min(bufferLen, s.size() - pos);
            std::copy_n(s.begin() + long(pos), n, buffer.begin());
            ResampleBuffer(*r.Chain, r.Settings, r.Controls, r.Hooks, buffer.data(),
                           int64_t(2 * n));
        }
        heldFrac = r.Chain->Intake.ResampleFrac;
        return rec.All(r);
    };
    const auto one = run(1);
    const auto whole = run(BlockLen);
    EXPECT_GT(heldFrac, 0.0f);
    EXPECT_LT(heldFrac, 1.0f);
    ASSERT_EQ(one.size(), whole.size());
    for (size_t k = 0; k < one.size(); ++k)
        ASSERT_EQ(std::bit_cast<uint32_t>(whole[k]), std::bit_cast<uint32_t>(one[k])) << k;
}

TEST(Resampler, ShortAndEmptyBuffersHandOnExactlyTheirRecordedSamples) {
    ReadyChain r;
    OutputRecorder rec;
    rec.Install(r);
    std::array<int16_t, BlockLen> buffer{};
    for (int j = 0; j < BlockLen; ++j)
        buffer[j] = int16_t(j + 1);
    ResampleBuffer(*r.Chain, r.Settings, r.Controls, r.Hooks, buffer.data(), 0);
    EXPECT_EQ(r.Chain->Intake.WritePos, 0);
    EXPECT_EQ(r.Chain->Intake.CaptureBlock[1023], 1024); // copied all the same
    ResampleBuffer(*r.Chain, r.Settings, r.Controls, r.Hooks, buffer.data(), 2 * 100);
    EXPECT_EQ(r.Chain->Intake.WritePos, 100);
    EXPECT_EQ(r.Chain->Intake.CaptureBlock[500], 501); // the rest keeps the copied bytes
    EXPECT_EQ(r.Chain->Intake.CaptureBlock[1024], 0);
    // An odd byte count rounds to whole samples, ties to even: 3 bytes -> 1 sample.
    ResampleBuffer(*r.Chain, r.Settings, r.Controls, r.Hooks, buffer.data(), 3);
    EXPECT_EQ(r.Chain->Intake.WritePos, 101);
}

TEST(Intake, FirstBlockAfter1023SamplesThenEvery1024) {
    ReadyChain r;
    int blocks = 0;
    r.Hooks.TuneIndicator = [&](int32_t) { ++blocks; };
    r.Feed(std::vector<int16_t>(1022, 100));
    EXPECT_EQ(blocks, 0);
    r.Feed(std::vector<int16_t>(1, 100));
    EXPECT_EQ(blocks, 1);
    EXPECT_EQ(r.Chain->Intake.SampleBlock[0], 0.0f);
    r.Feed(std::vector<int16_t>(1023, 100));
    EXPECT_EQ(blocks, 1);
    r.Feed(std::vector<int16_t>(1, 100));
    EXPECT_EQ(blocks, 2);
}

TEST(Intake, InputGainScalesEverySample) {
    ReadyChain r;
    r.Settings.InputGain = 2.5f;
    r.Feed({1000, 2000});
    EXPECT_EQ(r.Chain->Intake.SampleBlock[2], 2.5f * float(1000 / 32767.0L));
}

TEST(Resampler, AbsurdCorrectionIsHeldSoTheLoopAlwaysAdvances) {
    for (const long double ppm : {-5e6L, -1e6L, 1e6L, 5e7L}) {
        ReadyChain r;
        r.Settings.ClockPpm = ppm;
        int blocks = 0;
        r.Hooks.TuneIndicator = [&](int32_t) { ++blocks; };
        r.Feed(Noise(8 * BlockLen, 6));
        EXPECT_GE(blocks, 3) << double(ppm);
        EXPECT_LE(blocks, 17) << double(ppm);
    }
}

} // namespace
} // namespace dsp
