#include "dialog_units.h"

#include <QApplication>
#include <QFontMetrics>
#include <cmath>

namespace quorvel {

QFont dialog_font() {
    QFont f = QApplication::font();
    f.setPointSize(8);
    return f;
}

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetrics m(font);
    // The average width of the alphabet, as the original platform measured it.
    const QString alphabet = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    char_width_ = (m.horizontalAdvance(alphabet) / 26 + 1) / 2;
    char_height_ = m.height();
}

int DialogUnits::x(int du) const {
    return (du * char_width_ + 2) / 4;
}
int DialogUnits::y(int du) const {
    return (du * char_height_ + 4) / 8;
}

QRect DialogUnits::rect(int x0, int y0, int w, int h) const {
    return {x(x0), y(y0), x(w), y(h)};
}

int points_to_pixels_x(const QWidget* on, double pt) {
    return static_cast<int>(std::lround(pt * on->logicalDpiX() / 72.0));
}

int points_to_pixels_y(const QWidget* on, double pt) {
    return static_cast<int>(std::lround(pt * on->logicalDpiY() / 72.0));
}

QPoint points_to_pixels(const QWidget* on, double x_pt, double y_pt) {
    return {points_to_pixels_x(on, x_pt), points_to_pixels_y(on, y_pt)};
}

}  // namespace quorvel
