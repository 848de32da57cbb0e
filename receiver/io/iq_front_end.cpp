// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/io/iq_front_end.h"

#include <soxr.h>

#include <algorithm>
#include <climits>
#include <cmath>

#include "receiver/io/rate_converter.h"

namespace io {

ModeAudio AudioForMode(int32_t mode) {
    ModeAudio audio;
    if (mode == -1) {
        audio.Rate = 8000;
        audio.CarrierHz = 1500.0;
    }
    // The band's edges lie a 96th of the rate inside 0 Hz and half the rate;
    // what the filter lets through beyond them folds back below 100 Hz (NATO)
    // or above 4700 Hz, where the chain's own filter takes it out.
    audio.PassHz = audio.Rate / 4.0 - audio.Rate / 96.0;
    audio.StopHz = audio.Rate / 4.0 + audio.Rate / 96.0;
    return audio;
}

std::unique_ptr<IqFrontEnds> IqFrontEnds::Create(double inputRate,
                                                 const std::vector<ChannelTuning>& tunings,
                                                 std::string& error, bool measurePlans) {
    std::unique_ptr<IqFrontEnds> ends(new IqFrontEnds);
    ends->inputRate_ = inputRate;
    ChannelizerDesign design;
    design.InputRate = inputRate;
    const ModeAudio nato = AudioForMode(1), amateur = AudioForMode(-1);
    design.MaxStopHz = nato.StopHz;
    design.MinTransitionHz = std::min(nato.StopHz - nato.PassHz, amateur.StopHz - amateur.PassHz);
    design.MinOutputRate = 4.0 * nato.StopHz;
    design.MeasurePlans = measurePlans;
    ends->bank_ = Channelizer::Create(design, error);
    if (!ends->bank_) return nullptr;
    const double bankRate = ends->bank_->Geometry().OutputRate;
    for (const ChannelTuning& tuning : tunings) {
        Channel channel;
        channel.Tuning = tuning;
        channel.Audio = AudioForMode(tuning.Mode);
        const ModeAudio& a = channel.Audio;
        const double centre = tuning.CarrierOffsetHz - a.CarrierHz + a.Rate / 4.0;
        if (ends->bank_->AddChannel(centre, a.PassHz, a.StopHz, error) < 0) {
            error = "the carrier at " + std::to_string(tuning.CarrierOffsetHz) +
                    " Hz from the centre: " + error;
            return nullptr;
        }
        soxr_error_t soxrError = nullptr;
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        channel.Resampler = soxr_create(bankRate, a.Rate, 2, &soxrError, &io, &quality, nullptr);
        if (!channel.Resampler) {
            error = std::string("libsoxr: ") + (soxrError ? soxrError : "failed");
            return nullptr;
        }
        if (tuning.Gain > 0.0f) channel.Gain = tuning.Gain;
        channel.Buffer.reserve(AudioBufferSamples);
        ends->channels_.push_back(std::move(channel));
    }
    return ends;
}

IqFrontEnds::~IqFrontEnds() {
    for (Channel& channel : channels_)
        if (channel.Resampler) soxr_delete(channel.Resampler);
}

void IqFrontEnds::Feed(const IqSample* in, size_t count, const AudioSink& sink) {
    bank_->Process(in, count);
    for (int32_t i = 0; i < Channels(); ++i)
        Drain(i, false, sink);
}

void IqFrontEnds::Finish(const AudioSink& sink) {
    if (finished_) return;
    finished_ = true;
    bank_->Finish();
    for (int32_t i = 0; i < Channels(); ++i) {
        Drain(i, true, sink);
        Channel& channel = channels_[size_t(i)];
        if (!channel.Buffer.empty()) EmitBuffer(i, int32_t(channel.Buffer.size()), sink);
    }
}

void IqFrontEnds::Drain(int32_t index, bool last, const AudioSink& sink) {
    Channel& channel = channels_[size_t(index)];
    std::vector<IqSample>& in = bank_->Output(index);
    // Null input tells libsoxr the stream has ended: only at the end.
    if (in.empty() && !last) return;
    const double ratio = channel.Audio.Rate / bank_->Geometry().OutputRate;
    size_t offset = 0;
    for (;;) {
        const size_t room = size_t(double(in.size() - offset) * ratio) + 256;
        channel.Resampled.resize(room);
        size_t used = 0, made = 0;
        const bool flushing = last && offset == in.size();
        soxr_process(channel.Resampler, flushing ? nullptr : in.data() + offset,
                     flushing ? 0 : in.size() - offset, flushing ? nullptr : &used,
                     channel.Resampled.data(), room, &made);
        offset += used;
        Deliver(index, channel.Resampled.data(), made, sink);
        if (flushing ? made == 0 : (offset == in.size() && !last) || (used == 0 && made == 0))
            break;
    }
    in.clear();
}

void IqFrontEnds::Deliver(int32_t index, const IqSample* audio, size_t count,
                          const AudioSink& sink) {
    Channel& channel = channels_[size_t(index)];
    // As many samples as the stream lasted at the audio rate.
    const int64_t limit =
        finished_ ? std::llround(double(bank_->InputSamples()) * channel.Audio.Rate / inputRate_)
                  : INT64_MAX;
    count = size_t(std::clamp<int64_t>(limit - channel.Produced, 0, int64_t(count)));
    // The band's centre from -Rate/4 to +Rate/4 (a quarter turn a sample) and
    // its real part: Re{z j^n} is re, -im, -re, im for n = 0, 1, 2, 3 mod 4.
    for (size_t i = 0; i < count; ++i) {
        const IqSample z = audio[i];
        float real = 0.0f;
        switch ((channel.Produced + int64_t(i)) & 3) {
        case 0:
            real = z.real();
            break;
        case 1:
            real = -z.imag();
            break;
        case 2:
            real = -z.real();
            break;
        default:
            real = z.imag();
            break;
        }
        if (channel.Tuning.Gain <= 0.0f && channel.Power < 0.0) {
            // Nothing measured yet: the first buffer is held at its own level.
            channel.BufferPower += double(real) * real;
            channel.Buffer.push_back(0);
            channel.Pending.push_back(real);
        } else {
            channel.BufferPower += double(real) * real;
            channel.Buffer.push_back(FloatToSample(real * channel.Gain));
        }
        if (channel.Buffer.size() == size_t(AudioBufferSamples))
            EmitBuffer(index, AudioBufferSamples, sink);
    }
    channel.Produced += int64_t(count);
}

void IqFrontEnds::EmitBuffer(int32_t index, int32_t count, const AudioSink& sink) {
    Channel& channel = channels_[size_t(index)];
    if (channel.Tuning.Gain <= 0.0f) {
        // A slow level: the mean power over about AutoLevelSeconds sets the
        // gain of the buffers that follow.
        const double power = channel.BufferPower / std::max(count, 1);
        const double weight =
            std::min(1.0, double(count) / (AutoLevelSeconds * channel.Audio.Rate));
        // Quick to come down when the signal rises, as receivers are.
        if (channel.Power < 0.0 || power > 4.0 * channel.Power)
            channel.Power = power;
        else
            channel.Power += weight * (power - channel.Power);
        if (!channel.Pending.empty()) {
            const float first =
                channel.Power > 0.0 ? float(AutoLevelRms / std::sqrt(channel.Power)) : 1.0f;
            for (size_t i = 0; i < channel.Pending.size(); ++i)
                channel.Buffer[i] = FloatToSample(channel.Pending[i] * first);
            channel.Pending.clear();
        }
        if (channel.Power > 0.0)
            channel.Gain = float(std::min(1.0e6, AutoLevelRms / std::sqrt(channel.Power)));
    }
    channel.BufferPower = 0.0;
    if (sink) sink(index, channel.Buffer.data(), count);
    channel.Buffer.clear();
}

} // namespace io
