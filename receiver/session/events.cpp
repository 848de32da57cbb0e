// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/session/events.h"

#include <algorithm>
#include <cstdio>

namespace session {

namespace {
QByteArray& LinePrefix() {
    static QByteArray prefix = QByteArrayLiteral("propmon: ");
    return prefix;
}
} // namespace

void SetReportStation(const QString& station) {
    QString name = station;
    name.replace(u'\n', u' ');
    name.replace(u'\r', u' ');
    LinePrefix() = name.isEmpty() ? QByteArrayLiteral("propmon: ")
                                  : QByteArrayLiteral("propmon ") + name.toLocal8Bit() + ": ";
}

void ReportEvent(const QString& text) {
    QString line = text;
    line.replace(u'\n', u' ');
    line.replace(u'\r', u' ');
    const QByteArray bytes = LinePrefix() + line.toLocal8Bit() + '\n';
    // One write of the whole line: lines of several writers never interleave.
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stderr);
    std::fflush(stderr);
}

void ProblemReporter::SetStatusSink(StatusSink sink) {
    sink_ = std::move(sink);
    Show();
}

void ProblemReporter::Failed(const QString& subject, const QString& what, const QString& reason) {
    const auto known = std::find_if(problems_.begin(), problems_.end(),
                                    [&](const Problem& p) { return p.Subject == subject; });
    if (known != problems_.end() && known->Reason == reason) return;
    const QString text = QStringLiteral("cannot write %1: %2").arg(what, reason);
    if (known != problems_.end())
        *known = {subject, reason, text};
    else
        problems_.push_back({subject, reason, text});
    ReportEvent(text);
    lastToldMs_ = -1; // the reminders count from the next Remind
    Show();
}

void ProblemReporter::Succeeded(const QString& subject) {
    const auto known = std::find_if(problems_.begin(), problems_.end(),
                                    [&](const Problem& p) { return p.Subject == subject; });
    if (known == problems_.end()) return;
    problems_.erase(known);
    lastRecovery_ = subject + QStringLiteral(" written again");
    ReportEvent(lastRecovery_);
    Show();
}

QString ProblemReporter::Outstanding(const QString& subjectStart) const {
    for (const Problem& problem : problems_)
        if (problem.Subject.startsWith(subjectStart)) return problem.Text;
    return {};
}

void ProblemReporter::Remind(int64_t nowMs) {
    if (problems_.empty()) {
        lastToldMs_ = -1;
        return;
    }
    if (lastToldMs_ < 0) lastToldMs_ = nowMs;
    if (nowMs - lastToldMs_ < RemindIntervalMs) return;
    lastToldMs_ = nowMs;
    ReportEvent(QStringLiteral("still not saved: ") + Outstanding().join(QStringLiteral("; ")));
}

QStringList ProblemReporter::Outstanding() const {
    QStringList texts;
    for (const Problem& problem : problems_)
        texts << problem.Text;
    return texts;
}

void ProblemReporter::Show() {
    if (!sink_) return;
    sink_(problems_.empty() ? lastRecovery_ : Outstanding().join(QStringLiteral("; ")));
}

} // namespace session
