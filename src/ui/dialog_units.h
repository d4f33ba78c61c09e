#pragma once
// The windows were designed in dialog units of an 8-point dialog font and their lamps in
// points; these convert both to pixels so the windows keep their proportions. Window thread.

#include <QFont>
#include <QPoint>
#include <QRect>
#include <QWidget>

namespace quorvel {

// The dialog font: the system's general font at 8 points, as the templates asked for.
QFont dialog_font();

class DialogUnits {
  public:
    explicit DialogUnits(const QFont& font);
    int x(int du) const;
    int y(int du) const;
    QRect rect(int x, int y, int w, int h) const;

  private:
    int char_width_;
    int char_height_;
};

// Points (1/72 inch) to pixels on each axis, rounded to the nearest pixel.
QPoint points_to_pixels(const QWidget* on, double x_pt, double y_pt);
int points_to_pixels_x(const QWidget* on, double pt);
int points_to_pixels_y(const QWidget* on, double pt);

}  // namespace quorvel
