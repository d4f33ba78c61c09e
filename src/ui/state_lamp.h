#pragma once
// One lamp of the Test and Method windows, painted whole by itself: an opaque widget of the
// lamp's own size, so that a change repaints these few pixels and never the group box
// behind them. Window thread.

#include <QColor>
#include <QPainter>
#include <QWidget>

namespace quorvel {

class StateLamp final : public QWidget {
  public:
    explicit StateLamp(QWidget* parent) : QWidget(parent) {
        setAttribute(Qt::WA_OpaquePaintEvent);
        setAttribute(Qt::WA_TransparentForMouseEvents);
    }
    void set_lit(bool lit) {
        if (lit == lit_) return;
        lit_ = lit;
        update();
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.fillRect(rect(), Qt::black);
        p.fillRect(rect().adjusted(1, 1, -1, -1), lit_ ? QColor(0, 255, 0) : QColor(255, 255, 255));
    }

  private:
    bool lit_ = false;
};

}  // namespace quorvel
