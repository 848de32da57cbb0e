// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/runners/block_run.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>

#include <sys/stat.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include <QCoreApplication>

#include "receiver/analysis/block_table.h"
#include "receiver/analysis/correlation_store.h"

namespace runners {

namespace {

PaintingMaker Painters = nullptr;
ApplicationMaker PaintersApplication = nullptr;

} // namespace

// Measuring a block and writing its rows takes about half the chain's time
// on it, so with a second core the rows are made beside the chain, a few
// blocks behind.  The chain's thread copies what the measurement reads of
// each block (its samples, its part of the baseband, the sync powers and the
// kept lags of the first-period correlation) into a ring; the second thread
// puts each into a mirror of the chain and measures it there, in order.  The rows are the
// same to the bit as measured in the hook.  The second thread sleeps until a
// handful of blocks wait (one wake-up for several), the chain waits only when
// the ring is full.
class BlockRun::Rows {
  public:
    Rows(BatchTables& tables, const dsp::Settings& settings, const dsp::ChainState& chain)
        : tables_(tables), settings_(settings), mirror_(dsp::MakeChainState()), slots_(Capacity) {
        mirror_->ReceiverMode = chain.ReceiverMode;
        mirror_->SampleRate = chain.SampleRate;
        mirror_->CarrierHz = chain.CarrierHz;
        mirror_->Tables = chain.Tables;
        thread_ = std::thread([this] { Run(); });
    }
    ~Rows() { Finish(); }
    Rows(const Rows&) = delete;
    Rows& operator=(const Rows&) = delete;

    // In the chain's hook: the block handed over.
    void Push(const dsp::ChainState& chain, const analysis::BlockInputFacts& facts, double timeS) {
        std::unique_lock<std::mutex> lock(mutex_);
        space_.wait(lock, [this] { return produced_ - consumed_ < Capacity; });
        lock.unlock();
        Slot& slot = slots_[size_t(produced_ % Capacity)];
        slot.SampleRate = chain.SampleRate;
        slot.Peak = chain.Peak;
        std::copy_n(chain.Correlator.CorrLags.begin(), analysis::KeptLags, slot.CorrLags.begin());
        slot.SampleBlock = chain.Intake.SampleBlock;
        const auto newest = chain.Downconverter.Baseband.begin() + 2 * dsp::BasebandLen;
        std::copy_n(newest, dsp::BasebandLen, slot.Baseband.begin());
        slot.Facts = facts;
        slot.TimeS = timeS;
        lock.lock();
        ++produced_;
        if (produced_ - consumed_ >= Handful) ready_.notify_one();
    }
    // Every block handed over measured and written; the thread ended.
    void Finish() {
        if (!thread_.joinable()) return;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        ready_.notify_one();
        thread_.join();
    }

  private:
    static constexpr int64_t Capacity = 32;
    static constexpr int64_t Handful = 16;
    struct Slot {
        int32_t SampleRate = 0;
        dsp::PeakState Peak;
        std::array<dsp::ComplexSample, analysis::KeptLags> CorrLags;
        dsp::SampleBlockArray SampleBlock;
        std::array<dsp::ComplexSample, dsp::BasebandLen> Baseband; // the newest block's
        analysis::BlockInputFacts Facts;
        double TimeS = 0.0;
    };

    void Run() {
        for (;;) {
            int64_t from = 0, to = 0;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                ready_.wait(lock, [this] { return produced_ - consumed_ >= Handful || done_; });
                from = consumed_;
                to = produced_;
                if (from == to) return; // done, and nothing left
            }
            for (int64_t b = from; b < to; ++b) {
                Measure(slots_[size_t(b % Capacity)]);
                const std::lock_guard<std::mutex> lock(mutex_);
                consumed_ = b + 1;
                space_.notify_one();
            }
        }
    }

    void Measure(const Slot& slot) {
        dsp::ChainState& chain = *mirror_;
        chain.SampleRate = slot.SampleRate;
        chain.Peak = slot.Peak;
        std::copy(slot.CorrLags.begin(), slot.CorrLags.end(), chain.Correlator.CorrLags.begin());
        chain.Intake.SampleBlock = slot.SampleBlock;
        // The baseband holds the last three blocks: moved on by one, the
        // newest after them, as the chain moves its own.
        dsp::BasebandArray& baseband = chain.Downconverter.Baseband;
        std::copy_n(baseband.begin() + dsp::BasebandLen, 2 * dsp::BasebandLen, baseband.begin());
        std::copy(slot.Baseband.begin(), slot.Baseband.end(),
                  baseband.begin() + 2 * dsp::BasebandLen);
        tables_.Measure(chain, settings_, slot.Facts, slot.TimeS);
    }

    BatchTables& tables_;
    const dsp::Settings& settings_;
    std::unique_ptr<dsp::ChainState> mirror_;
    std::vector<Slot> slots_;
    std::mutex mutex_;
    std::condition_variable ready_; // blocks wait in the ring (or the input ended)
    std::condition_variable space_; // a slot came free
    int64_t produced_ = 0;
    int64_t consumed_ = 0;
    bool done_ = false;
    std::thread thread_;
};

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
    if (run_.RowsBeside && !painting_) rows_ = std::make_unique<Rows>(tables_, settings_, *chain_);
    hooks_.BlockProcessed = [this](const dsp::ChainState& done) {
        lastBlockEnd_ = Position();
        const double timeS = static_cast<double>(lastBlockEnd_) / done.SampleRate;
        if (rows_)
            rows_->Push(done, tables_.TakeInputs(done), timeS);
        else
            tables_.Block(done, settings_, timeS);
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
        dsp::ResampleBufferForTables(*chain_, settings_, hooks_, buffer_.data(), count * 2);
    tables_.EndBuffer(*chain_, static_cast<int32_t>(count));
    bufferStart_ += count;
}

void BlockRun::EndOfInput() {
    if (rows_) rows_->Finish();
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
