// SPDX-License-Identifier: GPL-3.0-or-later
// Every instruction-set variant of the fast kernels gives the bits of the
// plain per-lag forms, on this CPU's every variant (not only the one the
// chain picks).
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>

#include "receiver/dsp/tests/chain_fixture.h"

namespace dsp {

void PrintTo(VectorIsa isa, std::ostream* os) {
    *os << VectorIsaName(isa);
}

namespace {

using testing::ReadyChain;

// Values spread over many binades (and some exact zeros), so that sums round
// in every way.
class Spread {
  public:
    explicit Spread(uint32_t seed) : rng_(seed) {}
    float operator()() {
        if (rng_() % 64 == 0) return 0.0f;
        const float mantissa = std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng_);
        return std::ldexp(mantissa, int(rng_() % 24) - 16);
    }

  private:
    std::mt19937 rng_;
};

template <class T> bool SameBits(T a, T b) {
    if constexpr (sizeof(T) == 4)
        return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b);
    else
        return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b);
}

class VectorKernels : public ::testing::TestWithParam<VectorIsa> {};

TEST_P(VectorKernels, MixingOfEverySampleIsTheLongDoubleProduct) {
    ReadyChain r;
    const SignalTables& tables = r.Chain->Tables;
    for (int n = 0; n < BlockLen; ++n) {
        ASSERT_EQ(static_cast<long double>(tables.MixCosParts[0][n]) + tables.MixCosParts[1][n] +
                      tables.MixCosParts[2][n],
                  tables.MixCos[n]);
        ASSERT_EQ(static_cast<long double>(tables.MixSinParts[0][n]) + tables.MixSinParts[1][n] +
                      tables.MixSinParts[2][n],
                  tables.MixSin[n]);
    }
    // Samples over every binade of a float, subnormals, signed zeros and
    // the infinities and NaN of an overflowing gain included, at every
    // position of the block.
    std::mt19937 rng(5);
    const float odd[] = {0.0f, -0.0f, INFINITY, -INFINITY, NAN, 0x1p127f, -0x1p-149f};
    for (int trial = 0; trial < 200; ++trial) {
        for (int n = 0; n < BlockLen; ++n) {
            float x = std::bit_cast<float>(uint32_t(rng()) & 0xbfffffffu); // |x| below 2
            if (rng() % 16 == 0) x = odd[rng() % std::size(odd)];
            if (rng() % 4 == 0) x = std::ldexp(float(int32_t(rng() % 65535) - 32767), -15);
            r.Chain->Intake.SampleBlock[n] = x;
        }
        MixBlock(tables, r.Chain->Intake.SampleBlock, r.Chain->Downconverter, GetParam());
        for (int n = 0; n < BlockLen; ++n) {
            const ComplexSample got = r.Chain->Downconverter.MixBuffer[LowpassLen + n];
            const ComplexSample expected = MixSample(tables, r.Chain->Intake.SampleBlock[n], n);
            ASSERT_TRUE(SameBits(got.Re, expected.Re))
                << n << " " << r.Chain->Intake.SampleBlock[n];
            ASSERT_TRUE(SameBits(got.Im, expected.Im))
                << n << " " << r.Chain->Intake.SampleBlock[n];
        }
    }
}

TEST_P(VectorKernels, LowpassOfEveryOutputIsLowpassSample) {
    ReadyChain r;
    Spread value(1);
    DownconverterState& down = r.Chain->Downconverter;
    for (int trial = 0; trial < 4; ++trial) {
        for (int j = 0; j < LowpassLen + BlockLen; ++j)
            down.MixBuffer[j] = {value(), value()};
        LowpassAll(r.Chain->Tables, down, GetParam());
        for (int i = 0; i < BasebandLen; ++i) {
            const ComplexSample expected = LowpassSample(r.Chain->Tables, down, 2 * i);
            ASSERT_TRUE(SameBits(down.Baseband[1024 + i].Re, expected.Re)) << trial << " " << i;
            ASSERT_TRUE(SameBits(down.Baseband[1024 + i].Im, expected.Im)) << trial << " " << i;
        }
    }
}

TEST_P(VectorKernels, CorrelationOfEveryLagIsCorrelateAt) {
    ReadyChain r;
    Spread value(2);
    BasebandArray& baseband = r.Chain->Downconverter.Baseband;
    CorrLagArray lags{};
    for (int trial = 0; trial < 4; ++trial) {
        for (int j = 0; j < 3 * BasebandLen; ++j)
            baseband[j] = {value(), value()};
        CorrelateAllLags(r.Chain->Tables, baseband, lags, GetParam());
        for (int i = 0; i < CorrLagCount; ++i) {
            const ComplexSample expected = CorrelateAt(r.Chain->Tables, baseband, i);
            // A sum of zeros may differ in sign only (zero taps are skipped).
            ASSERT_TRUE(SameBits(lags[i].Re, expected.Re) || lags[i].Re == expected.Re) << i;
            ASSERT_TRUE(SameBits(lags[i].Im, expected.Im) || lags[i].Im == expected.Im) << i;
        }
    }
}

TEST_P(VectorKernels, SyncPowerOfEveryLagIsSyncPowerAt) {
    ReadyChain r;
    Spread value(3);
    BasebandArray& baseband = r.Chain->Downconverter.Baseband;
    SyncPowerArray power{};
    for (int trial = 0; trial < 4; ++trial) {
        for (int j = 0; j < 3 * BasebandLen; ++j)
            baseband[j] = {value(), value()};
        ASSERT_TRUE(TwoLevelSyncPowers(r.Chain->Tables, baseband, power, GetParam()));
        for (int lag = 0; lag < BasebandLen; ++lag)
            ASSERT_TRUE(SameBits(power[lag], SyncPowerAt(r.Chain->Tables, baseband, lag))) << lag;
    }
}

TEST_P(VectorKernels, DopplerMatrixOfEveryLagIsSlowTimeFft) {
    ReadyChain r;
    Spread value(4);
    DopplerState& doppler = r.Chain->Doppler;
    for (int lag = 0; lag < DopplerLags; ++lag) {
        for (int row = 0; row < SlowRows; ++row) {
            const ComplexSample v{value(), value()};
            doppler.SlowTimeAt(lag, row) = v;
            doppler.SlowTimeAt(lag, row + SlowRows) = v;
        }
    }
    for (const auto& [slowRow, shift] : {std::pair{0, 0}, {63, -128}, {195, 37}, {127, 128}}) {
        doppler.SlowRow = slowRow;
        doppler.DopplerMatrix.fill(-1.0f);
        DopplerSpectra(r.Chain->Tables, shift, doppler, GetParam());
        for (int lag = 0; lag < DopplerLags; ++lag) {
            for (int n = 0; n < SlowRows; ++n)
                doppler.SlowColumn[n] = doppler.SlowTimeAt(lag, slowRow + n);
            SlowTimeFft(r.Chain->Tables, doppler);
            for (int row = 0; row < SlowRows; ++row) {
                const float expected = 100.0f * doppler.SpecRe[(row + 128 - shift + 256) % 256];
                ASSERT_TRUE(SameBits(doppler.DopplerMatrixAt(lag, row), expected))
                    << slowRow << " " << lag << " " << row;
            }
        }
        // The spare columns are left alone.
        for (int row = 0; row < SlowRows; ++row)
            ASSERT_EQ(doppler.DopplerMatrixAt(DopplerLags, row), -1.0f);
    }
}

INSTANTIATE_TEST_SUITE_P(EverySupportedSet, VectorKernels,
                         ::testing::ValuesIn(SupportedVectorIsas()),
                         [](const auto& info) { return std::string(VectorIsaName(info.param)); });

} // namespace
} // namespace dsp
