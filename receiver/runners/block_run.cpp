// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/runners/block_run.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>

#include <sys/stat.h>

#include <QCoreApplication>

#include "receiver/analysis/block_table.h"
#include "receiver/analysis/correlation_store.h"

namespace runners {

namespace {

PaintingMaker Painters = nullptr;
ApplicationMaker PaintersApplication = nullptr;

} // namespace

void SetPainters(PaintingMaker painting, ApplicationMaker application) {
    Painters = painting;
    PaintersApplication = application;
}

int32_t RecordingStartSeconds(const std::string& path, double durationSeconds) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return 0;
    const std::time_t t = info.st_mtime - static_cast<std::time_t>(durationSeconds);
    std::tm local{};
    localtime_r(&t, &local);
    return (local.tm_hour * 60 + local.tm_min) * 60 + local.tm_sec;
}

BlockRun::BlockRun(BlockRunSettings settings) : run_(std::move(settings)), buffer_(dsp::BlockLen) {
    settings_.ClockOffset = run_.ClockOffset;
    settings_.ClockPpm = run_.ClockPpm;
    settings_.InputGain = run_.Gain;
    chain_ = dsp::MakeChain(run_.Mode, controls_, settings_);
    controls_.AverageCount = run_.Average;
    controls_.LagOffset = run_.LagOffset;
    controls_.DopplerShift = run_.DopplerShift;

    // With an output folder every painter runs, as in the window, with all
    // three auto-saves on and the recording's own clock for names and marks.
    if (!run_.Out.empty() && Painters)
        painting_ = Painters(
            run_, settings_, controls_, [this] { return Position() / chain_->SampleRate; }, hooks_);
    hooks_.BlockProcessed = [this](const dsp::ChainState& done) {
        lastBlockEnd_ = Position();
        tables_.Block(done, settings_, static_cast<double>(lastBlockEnd_) / done.SampleRate);
        ++block_;
    };
}

BlockRun::~BlockRun() = default;

int64_t BlockRun::Position() const {
    return bufferStart_ + chain_->Intake.ResampleInputPos + 1;
}

bool BlockRun::Open(std::string& error) {
    if (!run_.Out.empty() && !painting_) {
        error = "--out needs propmon-receiver: this program paints no panels";
        return false;
    }
    if (!run_.Out.empty()) {
        std::error_code made;
        std::filesystem::create_directories(run_.Out, made);
        if (made) {
            error = "cannot create " + run_.Out + ": " + made.message();
            return false;
        }
    }
    return tables_.Open(run_.Csv, run_.ChannelCsv, run_.StartMs, error);
}

void BlockRun::Feed(const int16_t* samples, int64_t count) {
    std::fill(buffer_.begin(), buffer_.end(), 0);
    std::copy(samples, samples + count, buffer_.begin());
    // Without painters nothing shows the grams: only what the tables read
    // is worked out.
    if (painting_)
        dsp::ResampleBuffer(*chain_, settings_, controls_, hooks_, buffer_.data(), count * 2);
    else
        dsp::ResampleBufferForTables(*chain_, settings_, hooks_, analysis::KeptLags, buffer_.data(),
                                     count * 2);
    tables_.EndBuffer(*chain_, static_cast<int32_t>(count));
    bufferStart_ += count;
}

void BlockRun::EndOfInput() {
    if (!ended_) tables_.EndOfInput();
    ended_ = true;
}

bool BlockRun::CommitTable(std::string& error) {
    EndOfInput();
    return tables_.Commit(error);
}

bool BlockRun::WritePanels() {
    return !painting_ || painting_->WritePanels();
}

int64_t BlockRun::SnapshotsWritten() const {
    return painting_ ? painting_->SnapshotsWritten() : 0;
}

int64_t BlockRun::SnapshotsFailed() const {
    return painting_ ? painting_->SnapshotsFailed() : 0;
}

std::unique_ptr<QCoreApplication> MakeApplication(bool painting) {
    static int appArgc = 1;
    static char appName[] = "propmon";
    static char* appArgv[] = {appName, nullptr};
    if (painting && PaintersApplication) return PaintersApplication(appArgc, appArgv);
    return std::make_unique<QCoreApplication>(appArgc, appArgv);
}

} // namespace runners
