#include "app/AppIcon.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace qv {

QImage ProgramIconImage(int Size) {
    QImage Image(Size, Size, QImage::Format_ARGB32_Premultiplied);
    Image.fill(Qt::transparent);
    QPainter P(&Image);
    P.setRenderHint(QPainter::Antialiasing);
    // The design lives on a 64-unit grid, matching quorvia.svg.
    P.scale(Size / 64.0, Size / 64.0);

    QLinearGradient Tile(0, 0, 0, 64);
    Tile.setColorAt(0, QColor(102, 153, 255));
    Tile.setColorAt(1, QColor(40, 80, 190));
    P.setPen(Qt::NoPen);
    P.setBrush(Tile);
    P.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);

    P.setBrush(Qt::white);
    P.drawRoundedRect(QRectF(10, 14, 44, 36), 3, 3);
    QLinearGradient Sky(0, 18, 0, 46);
    Sky.setColorAt(0, QColor(190, 225, 255));
    Sky.setColorAt(1, QColor(235, 245, 255));
    P.setBrush(Sky);
    P.drawRect(QRectF(14, 18, 36, 28));

    P.setBrush(QColor(245, 200, 40));
    P.drawEllipse(QPointF(41, 26), 4.5, 4.5);

    QPainterPath Hills;
    Hills.moveTo(14, 46);
    Hills.lineTo(14, 38);
    Hills.lineTo(24, 28);
    Hills.lineTo(33, 37);
    Hills.lineTo(38, 33);
    Hills.lineTo(50, 44);
    Hills.lineTo(50, 46);
    Hills.closeSubpath();
    P.setBrush(QColor(64, 168, 72));
    P.drawPath(Hills);
    return Image;
}

QIcon ProgramIcon() {
    QIcon Icon;
    for (int Size : {16, 24, 32, 48, 64, 128, 256}) Icon.addPixmap(QPixmap::fromImage(ProgramIconImage(Size)));
    return Icon;
}

} // namespace qv
