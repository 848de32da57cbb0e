// SPDX-License-Identifier: GPL-3.0-or-later
// Where a datagram stream without sequence numbers lost data, found from the
// arrival times alone.
//
// A sender paced to real time sends the datagram that starts at sample S of its
// stream at about T0 + S/rate. What arrives tells only the samples received, R,
// so e = t*rate - R (in samples) is a constant, plus the samples lost before the
// datagram, plus the arrival jitter. The losses make a staircase that only
// rises, the jitter a noise above its floor (a datagram can come late, never
// before it was sent). Datagrams are therefore held for a while (two seconds by
// default): the lowest e of everything held from the oldest one on is the floor
// the oldest one stands on, so a floor above the current level is a loss before
// it or shortly after. Its size is that rise (whole datagrams while the sender
// keeps to one size); its place is the one that makes the jitter of the datagrams
// around it most likely, judged against the jitter seen so far and against what
// the samples say of each join (JoinJudge: where the stream goes on unbroken, no
// datagram went missing). Each loss is measured against the level the stream
// started at, so measuring errors do not add up over a day.
//
// A datagram whose time the stream has already filled (it came later than the
// hold) drops e below the level by its own length: it is dropped. A sender that
// jumps ahead for good (restarted, or a clock that runs fast) is followed at once;
// one that runs a little slow is followed slowly; a pause longer than
// MaxFillSeconds is not filled: the stream is taken up again after it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <vector>

namespace io {

inline constexpr double DefaultHoldSeconds = 2.0;
inline constexpr int MaxFillSeconds = 10;
// Losses told apart within the held datagrams of one size, beyond the floor.
inline constexpr int WholeDatagramStates = 12;

// What becomes of one datagram, in arrival order.
struct DatagramVerdict {
    int64_t Index = 0;         // the datagram's number in arrival order, from 0
    int64_t SilenceBefore = 0; // samples of silence that go before it: a loss
    int64_t PauseBefore = 0;   // samples of a pause too long to fill: time taken up again at it
    bool Late = false;         // dropped: its time has been filled already
    bool Ahead = false;        // the sender jumped ahead: time taken up again at it
};

class ArrivalGapFinder {
  public:
    explicit ArrivalGapFinder(int rate, double holdSeconds = DefaultHoldSeconds);

    // A datagram of `samples` samples arrived at `timeNs` (a monotonic clock);
    // `join` is what its samples say of a loss just before it (JoinJudge: a
    // log-likelihood ratio, 0 when they tell nothing).
    void Arrive(int64_t timeNs, int64_t samples, double join = 0.0);
    // The verdicts of the datagrams held for the hold time or longer at `nowNs`.
    std::vector<DatagramVerdict> Decide(int64_t nowNs);
    // The verdicts of every datagram still held (the stream stops or ends).
    std::vector<DatagramVerdict> Flush();
    size_t Held() const { return held_.size(); }

  private:
    struct Item {
        int64_t TimeNs = 0;
        int64_t Samples = 0;
        int64_t Index = 0;
        double Join = 0; // evidence of a loss just before it
    };
    void DecideFront(std::vector<DatagramVerdict>& out);
    bool PlaceWholeDatagrams(std::vector<DatagramVerdict>& out);
    bool PlaceMixedSizes(std::vector<DatagramVerdict>& out);
    double LossShare() const;
    double FloorLift(size_t first, double floor) const;
    void Residuals();
    double Threshold() const;
    double BinWidth() const;
    void NoteJitter(double residual);
    double LogLikelihood(double residual) const;
    double Quantile(double q) const;
    // Passes the oldest datagram on; `residual` (unless NaN) teaches the jitter.
    void Release(std::vector<DatagramVerdict>& out, DatagramVerdict verdict,
                 double residual = std::numeric_limits<double>::quiet_NaN());

    int rate_;
    int64_t holdNs_;
    std::deque<Item> held_;
    int64_t next_ = 0;         // index of the next datagram to arrive
    int64_t originNs_ = 0;     // time of the first datagram (keeps the numbers small)
    int64_t accepted_ = 0;     // samples released before the oldest held datagram
    double level_ = 0;         // where e stands without jitter, in samples
    bool anchored_ = false;    // level_ is known
    int64_t size_ = 0;         // the size every datagram had so far, 0 when they differ
    int64_t smallest_ = 0;     // the smallest datagram so far
    std::vector<double> r_;    // residuals (e - level_) of the held datagrams
    std::vector<double> seen_; // the last residuals released, a ring
    size_t seenNext_ = 0;
    std::vector<int> bins_; // their histogram
    double seenLow_ = 0, seenHigh_ = 0;
    int64_t losses_ = 0;
    int64_t acceptedCount_ = 0; // datagrams released
    std::vector<uint8_t> back_; // the staircase search's way back
};

} // namespace io
