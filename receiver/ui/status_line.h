// SPDX-License-Identifier: GPL-3.0-or-later
// The status line below the receiver's panels: one strip of short texts about
// the run (input, level, lock, signal quality, clock estimate, stream losses,
// problems writing files).  Each field is set on its own; an empty field takes
// no room.  It never opens a dialog: the receiver keeps running whatever it says.
#pragma once

#include <QString>
#include <QWidget>

#include <array>

class QLabel;

namespace ui {

enum class StatusField { Input, Level, Lock, Snr, Clock, Stream, Problem };
inline constexpr int StatusFieldCount = 7;

class StatusLine : public QWidget {
  public:
    explicit StatusLine(QWidget* parent = nullptr);
    void Set(StatusField field, const QString& text);
    QString Text(StatusField field) const;
    // All non-empty fields in order, separated by two spaces (for tests and logs).
    QString Joined() const;

  private:
    std::array<QLabel*, StatusFieldCount> labels_{};
};

} // namespace ui
