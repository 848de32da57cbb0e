// SPDX-License-Identifier: GPL-3.0-or-later
// Texts in boxes of a fixed size.  The controls keep their places and sizes
// whatever fonts the system has, so a text that would be cut off gets a font
// it fits in: the control's own font when the text fits, else the narrow face
// of the same family at the same size, then both a pixel smaller at a time.
#pragma once

#include <QFont>
#include <QSize>
#include <QString>
#include <QStringList>

class QLabel;

namespace ui {

// Below this the texts would be too small to read; the smallest tried.
inline constexpr int MinFittedPixels = 8;

// Whether `text` in `font`, drawn from the left edge of a box of `size` and
// aligned as `alignment` says vertically (top or centre), stays inside it: its
// advance within the width, its ink within the height.
bool TextFits(const QFont& font, const QString& text, const QSize& size,
              Qt::Alignment alignment = Qt::AlignTop);

// The first of `font`, its narrow face, and both smaller pixel by pixel down to
// MinFittedPixels, in which every one of `texts` fits `size`; the smallest
// tried when none does.  A font given in points is taken at 96 pixels per inch.
QFont FittedFont(const QFont& font, const QStringList& texts, const QSize& size,
                 Qt::Alignment alignment = Qt::AlignTop);

// Gives `label` the font, starting from `font`, in which its text fits its
// contents; with `texts` given, the one in which all of them fit (a readout
// that shows changing values).
void FitLabel(QLabel& label, const QFont& font, const QStringList& texts = {});

} // namespace ui
