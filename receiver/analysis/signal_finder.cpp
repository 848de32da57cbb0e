// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/analysis/signal_finder.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include "receiver/analysis/band_spectrum.h"
#include "receiver/analysis/signal_quality.h"
#include "receiver/dsp/sync_chain.h"

namespace analysis {

namespace {

// Two signals found closer than this are one.
constexpr double SameSignalHz = 1000.0;
constexpr int64_t ReadChunk = 1 << 16;

// What one tuned receiver saw.
struct Trial {
    io::ChannelTuning Tuning;
    size_t Candidate = 0;
    QualityTracker Quality;
    LockTally Tally;
    std::vector<double> LockedDopplerHz;
    double MedianSnrDb() const;
    std::vector<double> Snr;
};

double Median(std::vector<double> values) {
    if (values.empty()) return 0.0;
    const auto middle = values.begin() + std::ptrdiff_t(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

double Trial::MedianSnrDb() const {
    return Median(Snr);
}

// The same order as the mode and channel choice of a recording: the larger
// locked share, within 5 % of it the higher median SNR of the sync peak.
bool Better(const Trial& a, const Trial& b) {
    if (a.Tally.Share() > b.Tally.Share() + 0.05) return true;
    if (a.Tally.Share() < b.Tally.Share() - 0.05) return false;
    return a.MedianSnrDb() > b.MedianSnrDb() + 0.5;
}

bool RunTrials(const std::string& path, bool asIq, std::vector<std::unique_ptr<Trial>>& trials,
               double seconds, std::string& error) {
    std::vector<io::ChannelTuning> tunings;
    for (const auto& t : trials)
        tunings.push_back(t->Tuning);
    return RunSyncChannels(
        path, asIq, tunings, seconds,
        [&](int32_t channel, const dsp::ChainState& chain) {
            Trial& t = *trials[size_t(channel)];
            const BlockQuality& q = t.Quality.Add(chain.Peak, chain.SampleRate);
            t.Tally.Add(q.Locked);
            t.Snr.push_back(q.PeakSnrDb);
            if (q.Locked) t.LockedDopplerHz.push_back(chain.Peak.DopplerHz);
        },
        error);
}

// Where the carrier is by the chain: the tuning less the median frequency
// offset of the locked blocks (the chain reports an offset reversed).
double CarrierBy(const Trial& t) {
    return t.Tuning.CarrierOffsetHz - Median(t.LockedDopplerHz);
}

} // namespace

bool RunSyncChannels(const std::string& path, bool asIq,
                     const std::vector<io::ChannelTuning>& tunings, double seconds,
                     const std::function<void(int32_t channel, const dsp::ChainState&)>& onBlock,
                     std::string& error) {
    return RunSyncChannels(path, asIq, tunings, std::vector<long double>(tunings.size(), 0.0L),
                           1.0f, seconds, onBlock, error);
}

bool RunSyncChannels(const std::string& path, bool asIq,
                     const std::vector<io::ChannelTuning>& tunings,
                     const std::vector<long double>& corrections, float gain, double seconds,
                     const std::function<void(int32_t channel, const dsp::ChainState&)>& onBlock,
                     std::string& error) {
    auto reader = io::IqRecordingReader::Open(path, asIq, error);
    if (!reader) return false;
    auto frontEnds = io::IqFrontEnds::Create(reader->Info().SampleRate, tunings, error);
    if (!frontEnds) return false;
    std::vector<std::unique_ptr<dsp::SyncChain>> chains;
    for (size_t c = 0; c < tunings.size(); ++c)
        chains.push_back(std::make_unique<dsp::SyncChain>(tunings[c].Mode, corrections[c], gain));
    const io::AudioSink sink = [&](int32_t channel, const int16_t* samples, int32_t count) {
        chains[size_t(channel)]->Feed(
            samples, count, [&](const dsp::ChainState& chain) { onBlock(channel, chain); });
    };
    const auto limit = int64_t(seconds * reader->Info().SampleRate);
    std::vector<io::IqSample> buffer(ReadChunk);
    for (int64_t done = 0; done < limit;) {
        const int64_t got = reader->Read(buffer.data(), std::min(ReadChunk, limit - done));
        if (got < 0) {
            error = reader->Error();
            return false;
        }
        if (got == 0) break;
        frontEnds->Feed(buffer.data(), size_t(got), sink);
        done += got;
    }
    frontEnds->Finish(sink);
    return true;
}

std::optional<std::vector<FoundSignal>>
FindSignals(const std::string& path, const FinderOptions& options, std::string& error) {
    auto reader = io::IqRecordingReader::Open(path, options.AsIq, error);
    if (!reader) return std::nullopt;
    const std::optional<double> centre =
        reader->Info().CentreHz ? reader->Info().CentreHz : options.CentreHz;
    auto spectrum = MeasureSpectrum(*reader, options.Seconds, error);
    if (!spectrum) return std::nullopt;
    reader.reset();
    const std::vector<SpectrumCandidate> candidates = FindCandidates(*spectrum);

    // Each candidate in both modes at a few frequencies around it.
    std::vector<std::unique_ptr<Trial>> trials;
    const double half = spectrum->SampleRate / 2.0;
    for (size_t c = 0; c < candidates.size(); ++c) {
        for (const int32_t mode : {dsp::ModeNato, dsp::ModeAmateur}) {
            const io::ModeAudio audio = io::AudioForMode(mode);
            for (const double step : options.TrialStepsHz) {
                const double carrier = candidates[c].OffsetHz + step;
                const double bandCentre = carrier - audio.CarrierHz + audio.Rate / 4.0;
                if (std::abs(bandCentre) + audio.StopHz > half) continue;
                auto t = std::make_unique<Trial>();
                t->Tuning = {carrier, mode, 0.0f};
                t->Candidate = c;
                trials.push_back(std::move(t));
            }
        }
    }
    if (!trials.empty() && !RunTrials(path, options.AsIq, trials, options.TrialSeconds, error))
        return std::nullopt;
    std::vector<const Trial*> best(candidates.size(), nullptr);
    for (const auto& t : trials) {
        const Trial*& b = best[t->Candidate];
        if (!b || Better(*t, *b)) b = t.get();
    }

    // Those that lock, tuned where the chain puts them, over the first minute.
    std::vector<std::unique_ptr<Trial>> finals;
    for (const Trial* b : best) {
        if (!b || b->Tally.Share() < MinLockedShare || b->LockedDopplerHz.empty()) continue;
        auto t = std::make_unique<Trial>();
        t->Tuning = {CarrierBy(*b), b->Tuning.Mode, 0.0f};
        finals.push_back(std::move(t));
    }
    if (!finals.empty() && !RunTrials(path, options.AsIq, finals, options.Seconds, error))
        return std::nullopt;
    std::vector<FoundSignal> found;
    for (const auto& t : finals) {
        if (t->Tally.Share() < MinLockedShare || t->LockedDopplerHz.empty()) continue;
        FoundSignal signal;
        signal.OffsetHz = CarrierBy(*t);
        signal.FrequencyHz = centre ? *centre + signal.OffsetHz : signal.OffsetHz;
        signal.Mode = t->Tuning.Mode;
        signal.SnrDb = SnrIn3kHz(*spectrum, signal.OffsetHz, signal.Mode);
        signal.LockedShare = t->Tally.Share();
        // One transmitter seen from two candidates: the better lock stays.
        const auto same = std::find_if(found.begin(), found.end(), [&](const FoundSignal& f) {
            return std::abs(f.OffsetHz - signal.OffsetHz) < SameSignalHz;
        });
        if (same == found.end())
            found.push_back(signal);
        else if (signal.LockedShare > same->LockedShare)
            *same = signal;
    }
    std::sort(found.begin(), found.end(),
              [](const auto& a, const auto& b) { return a.OffsetHz < b.OffsetHz; });
    return found;
}

std::optional<std::vector<ModeChoice>> ChooseModes(const std::string& path, bool asIq,
                                                   const std::vector<double>& offsetsHz,
                                                   double seconds, std::string& error) {
    auto reader = io::IqRecordingReader::Open(path, asIq, error);
    if (!reader) return std::nullopt;
    const double half = reader->Info().SampleRate / 2.0;
    reader.reset();
    std::vector<std::unique_ptr<Trial>> trials;
    for (size_t c = 0; c < offsetsHz.size(); ++c) {
        for (const int32_t mode : {dsp::ModeNato, dsp::ModeAmateur}) {
            const io::ModeAudio audio = io::AudioForMode(mode);
            const double bandCentre = offsetsHz[c] - audio.CarrierHz + audio.Rate / 4.0;
            if (std::abs(bandCentre) + audio.StopHz > half) continue;
            auto t = std::make_unique<Trial>();
            t->Tuning = {offsetsHz[c], mode, 0.0f};
            t->Candidate = c;
            trials.push_back(std::move(t));
        }
    }
    if (!trials.empty() && !RunTrials(path, asIq, trials, seconds, error)) return std::nullopt;
    std::vector<const Trial*> best(offsetsHz.size(), nullptr);
    for (const auto& t : trials) {
        const Trial*& b = best[t->Candidate];
        if (!b || Better(*t, *b)) b = t.get();
    }
    std::vector<ModeChoice> choices(offsetsHz.size());
    for (size_t c = 0; c < best.size(); ++c) {
        if (best[c]) choices[c] = {best[c]->Tuning.Mode, best[c]->Tally.Share()};
    }
    return choices;
}

std::string FoundSignalsHeader() {
    return "frequency_hz,mode,snr_db,locked_share";
}

std::string FormatFoundSignal(const FoundSignal& signal) {
    char line[128];
    std::snprintf(line, sizeof line, "%.0f,%s,%.1f,%.2f", std::nearbyint(signal.FrequencyHz),
                  dsp::ModeInfoOf(signal.Mode).Name, signal.SnrDb, signal.LockedShare);
    return line;
}

} // namespace analysis
