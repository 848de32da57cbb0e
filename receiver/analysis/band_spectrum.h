// SPDX-License-Identifier: GPL-3.0-or-later
// The power spectrum of an IQ recording and the STANAG 4285 signals it may
// hold: where the spectrum shows a raised-cosine band of either mode's width
// above the noise floor.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "receiver/io/iq_recording.h"

namespace analysis {

struct BandSpectrum {
    double SampleRate = 0.0;
    double BinHz = 0.0;
    // Power density (full scale 1.0 per hertz), bin k at (k - Size/2) x BinHz
    // from the centre.
    std::vector<double> Density;
    int64_t Segments = 0; // transforms averaged
    double FloorDensity = 0.0;

    double FrequencyOf(double bin) const { return (bin - double(Density.size() / 2)) * BinHz; }
    double BinOf(double offsetHz) const { return offsetHz / BinHz + double(Density.size() / 2); }
};

// Averaged periodograms (Hann window, bins of at most 8 Hz) over at most the
// first `seconds` of the recording.  Nothing on a read failure.
std::optional<BandSpectrum> MeasureSpectrum(io::IqRecordingReader& reader, double seconds,
                                            std::string& error);

// A place in the spectrum that looks like a STANAG 4285 signal: its centre
// (the carrier) from the middle of the band, and how far the band stands over
// the floor.
struct SpectrumCandidate {
    double OffsetHz = 0.0;
    double ExcessRatio = 0.0; // mean density over the floor within the band, less one
};

// The candidates, strongest first: local maxima, at least half a signal's
// width apart, of the spectrum filtered with each mode's raised-cosine shape.
// Sets FloorDensity: the median of the band's middle 90 % away from them.
std::vector<SpectrumCandidate> FindCandidates(BandSpectrum& spectrum);

// Signal power over the noise in 3 kHz, dB, for a signal of `mode` centred
// at `offsetHz`: the density above the floor summed over the signal's band.
double SnrIn3kHz(const BandSpectrum& spectrum, double offsetHz, int32_t mode);

} // namespace analysis
