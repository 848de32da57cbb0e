// SPDX-License-Identifier: GPL-3.0-or-later
// What an unattended receiver has to say: one line per event on stderr (start,
// input, mode, each failure and its recovery, end), written whole and flushed at
// once, so that journald (or a terminal, or a log file) keeps each as a record
// of its own.  No progress lines: a quiet journal means a station at work.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

namespace session {

// Writes "propmon: <text>" and a line end to stderr.  Line ends inside the
// text become blanks: an event is never more than one line.
void ReportEvent(const QString& text);

// A named station's lines read "propmon NAME: <text>", so that the journals
// of several stations gathered in one place tell themselves apart.  An empty
// name gives back the plain "propmon: ".
void SetReportStation(const QString& station);

// Failures to write files (snapshots, the block log, the settings), each told
// once per cause, and told again when that kind of file is written again.  The
// window also shows the current state in its status line.
class ProblemReporter {
  public:
    // Receives the text for the status line: the problems outstanding, or the
    // last recovery when none is; empty before anything went wrong.
    using StatusSink = std::function<void(const QString&)>;
    void SetStatusSink(StatusSink sink);

    // `subject` names what could not be written, the same for every file of
    // its kind ("snapshots in Correlograms/"); `what` is the file or folder and
    // `reason` the system's reason.  Told when the subject was fine before or
    // failed for another reason.
    void Failed(const QString& subject, const QString& what, const QString& reason);
    // A file of `subject`'s kind was written: told when it had failed before.
    void Succeeded(const QString& subject);

    // The problems outstanding, in the order they arose.
    QStringList Outstanding() const;
    // The outstanding problem of the subjects starting with `subjectStart`
    // ("snapshots in " for all three gram folders), or an empty string.
    QString Outstanding(const QString& subjectStart) const;

    // While problems are outstanding, says so again once an hour (by the
    // clock `nowMs` reads, one that never steps): "still not saved: ...".
    // Called as often as convenient (after every block).
    void Remind(int64_t nowMs);
    static constexpr int64_t RemindIntervalMs = 3600 * 1000;

  private:
    struct Problem {
        QString Subject;
        QString Reason;
        QString Text;
    };
    void Show();

    std::vector<Problem> problems_;
    QString lastRecovery_;
    int64_t lastToldMs_ = -1; // when a problem was last told (-1: not since it arose)
    StatusSink sink_;
};

} // namespace session
