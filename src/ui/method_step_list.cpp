// The Method window's step list: one line a row under a fixed-pitch heading. Outside Edit
// mode it follows the runner's row; in Edit mode the operator's choice picks the row.

#include <QLabel>
#include <QListWidget>
#include <QScopedValueRollback>
#include <QStyle>

#include "method/method_list_format.h"
#include "session/system.h"
#include "ui/method_window.h"
#include "ui/notification_bridge.h"

namespace quorvel {

void MethodWindow::build_step_list(const QFont& fixed, int top) {
    // The heading and the step list share the fixed-pitch font, and the heading starts
    // where the list's text starts, so the columns stand under their words.
    list_ = new QListWidget(this);
    list_->setFont(fixed);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list_->setTextElideMode(Qt::ElideNone);
    list_->setUniformItemSizes(true);
    const int heading_h = QFontMetrics(fixed).height();
    const int heading_y = top + du_.y(4);
    const int list_top = heading_y + heading_h + 1;
    list_->setObjectName(control_name(method_ctl::StepList));
    list_->setGeometry(du_.x(4), list_top, du_.x(392), du_.y(210) - list_top);
    const int text_margin =
        list_->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, list_) + 1;
    const int text_x = list_->x() + list_->frameWidth() + text_margin;
    auto* heading = new QLabel(kMethodListHeading, this);
    heading->setObjectName(control_name(method_ctl::Heading));
    heading->setFont(fixed);
    heading->setGeometry(text_x, heading_y, du_.x(396) - text_x, heading_h);
    connect(list_, &QListWidget::itemSelectionChanged, this, [this] { list_selection_changed(); });
}

void MethodWindow::fill_list(int n) {
    const std::vector<std::string> lines = render_method_list(ctx_.sys.method_table, n);
    const int count = static_cast<int>(lines.size());
    {
        QScopedValueRollback guard(selecting_, true);
        if (list_->count() == count) {
            // Lines changed in place keep the list where the operator scrolled it.
            for (int i = 0; i < count; ++i)
                list_->item(i)->setText(QString::fromStdString(lines[i]));
        } else {
            list_->clear();
            for (const std::string& line : lines) list_->addItem(QString::fromStdString(line));
        }
    }
    // The runner only reports a change of row: outside Edit mode the list must stand on
    // the current row by itself.
    if (!editing()) select_line(ctx_.sys.run.current_step.load());
}

void MethodWindow::render_row(int r) {
    if (QListWidgetItem* item = list_->item(r)) {
        item->setText(QString::fromStdString(render_method_row(ctx_.sys.method_table, r)));
    }
    select_line(r);
}

void MethodWindow::select_line(int r) {
    QScopedValueRollback guard(selecting_, true);
    if (r >= 0 && r < list_->count()) {
        list_->setCurrentRow(r);
    } else {
        list_->clearSelection();
        list_->setCurrentRow(-1);
    }
}

int MethodWindow::selected_line() const {
    const QList<QListWidgetItem*> items = list_->selectedItems();
    return items.isEmpty() ? -1 : list_->row(items.first());
}

void MethodWindow::list_selection_changed() {
    const int row = selected_line();
    ctx_.sys.run.selected_line.store(row);
    if (selecting_ || closed_) return;
    MethodRun& run = ctx_.sys.run;
    if (editing() && row >= 0) {
        run.current_step.store(row);
        ctx_.bridge.post(WindowId::Method, Note::MethodShowRow);
    } else {
        // Outside Edit mode the runner moves the selection, not the operator.
        select_line(run.current_step.load());
    }
}

}  // namespace quorvel
