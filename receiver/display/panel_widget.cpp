// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/display/panel_widget.h"

#include <QPainter>

namespace display {

namespace {
// The thin sunken edge: shadow on the top and left, highlight below and right.
constexpr QRgb EdgeShadow = 0xFFA0A0A0u;
constexpr QRgb EdgeHighlight = 0xFFFFFFFFu;
} // namespace

PanelWidget::PanelWidget(PanelImage& image, bool border, QWidget* parent)
    : QWidget(parent), image_(image), border_(border) {
    const int edge = border ? 1 : 0;
    setFixedSize(image.Width() + 2 * edge, image.Height() + 2 * edge);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_OpaquePaintEvent);
    image_.SetRefreshHandler([this] { update(); });
}

PanelWidget::~PanelWidget() {
    image_.SetRefreshHandler({});
}

void PanelWidget::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const int edge = border_ ? 1 : 0;
    if (border_) {
        const int right = width() - 1;
        const int bottom = height() - 1;
        painter.setPen(QColor::fromRgb(EdgeShadow));
        painter.drawLine(0, 0, right - 1, 0);
        painter.drawLine(0, 0, 0, bottom - 1);
        painter.setPen(QColor::fromRgb(EdgeHighlight));
        painter.drawLine(0, bottom, right, bottom);
        painter.drawLine(right, 0, right, bottom);
    }
    painter.drawImage(edge, edge, image_.Image());
}

} // namespace display
