// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/ui/fitted_font.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>

#include <algorithm>
#include <optional>

namespace ui {

namespace {

// The family name without fontconfig's foundry suffix ("Nimbus Sans [urw]").
QString BareFamily(const QString& family) {
    const qsizetype bracket = family.indexOf(QStringLiteral(" ["));
    return bracket < 0 ? family : family.left(bracket);
}

// The same font in the narrow face of its family, when one is installed
// (Liberation Sans Narrow, Nimbus Sans Narrow, Arial Narrow).
std::optional<QFont> NarrowFace(const QFont& font) {
    QStringList candidates{BareFamily(QFontInfo(font).family())};
    candidates += font.families();
    QStringList narrow;
    for (const QString& family : candidates) {
        const QString name = BareFamily(family) + QStringLiteral(" Narrow");
        if (!narrow.contains(name) && QFontDatabase::hasFamily(name)) narrow << name;
    }
    if (narrow.isEmpty()) return std::nullopt;
    QFont face = font;
    face.setFamilies(narrow);
    return face;
}

int PixelSizeOf(const QFont& font) {
    return font.pixelSize() > 0 ? font.pixelSize() : QFontInfo(font).pixelSize();
}

} // namespace

bool TextFits(const QFont& font, const QString& text, const QSize& size, Qt::Alignment alignment) {
    const QFontMetrics metrics(font);
    if (metrics.horizontalAdvance(text) > size.width()) return false;
    const QRect ink = metrics.tightBoundingRect(text);
    if (ink.isEmpty()) return true; // blanks only
    const int top = alignment & Qt::AlignVCenter ? (size.height() - metrics.height()) / 2 : 0;
    const int baseline = top + metrics.ascent();
    return ink.left() >= 0 && ink.right() < size.width() && baseline + ink.top() >= 0 &&
           baseline + ink.bottom() < size.height();
}

QFont FittedFont(const QFont& font, const QStringList& texts, const QSize& size,
                 Qt::Alignment alignment) {
    const auto fitsAll = [&](const QFont& candidate) {
        return std::all_of(texts.begin(), texts.end(), [&](const QString& text) {
            return TextFits(candidate, text, size, alignment);
        });
    };
    if (fitsAll(font)) return font;
    const std::optional<QFont> narrow = NarrowFace(font);
    const int pixels = PixelSizeOf(font);
    QFont tried = font;
    for (int px = pixels; px >= MinFittedPixels; --px) {
        for (const QFont* face : {&font, narrow ? &*narrow : nullptr}) {
            if (!face || (face == &font && px == pixels)) continue;
            tried = *face;
            tried.setPixelSize(px);
            if (fitsAll(tried)) return tried;
        }
    }
    return tried;
}

void FitLabel(QLabel& label, const QFont& font, const QStringList& texts) {
    label.ensurePolished(); // a style sheet's border narrows the contents
    const QRect contents = label.contentsRect();
    const int margin = label.margin();
    QSize area = contents.size() - QSize(2 * margin, 2 * margin);
    if (label.indent() > 0) area.rwidth() -= label.indent();
    label.setFont(FittedFont(font, texts.isEmpty() ? QStringList{label.text()} : texts, area,
                             label.alignment() & Qt::AlignVertical_Mask));
}

} // namespace ui
