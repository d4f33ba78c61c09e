#include "message_presenter.h"

#include <QMessageBox>

namespace quorvel {

void DialogPresenter::message(QWidget* owner, const QString& text, const QString& caption,
                              const QString& detail) {
    QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, owner);
    box.setObjectName("message");
    if (!detail.isEmpty()) box.setInformativeText(detail);
    box.exec();
}

Answer DialogPresenter::question(QWidget* owner, const QString& text, const QString& caption) {
    QMessageBox box(QMessageBox::Question, caption, text,
                    QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, owner);
    box.setObjectName("question");
    switch (box.exec()) {
        case QMessageBox::Yes:
            return Answer::Yes;
        case QMessageBox::No:
            return Answer::No;
        default:
            return Answer::Cancel;
    }
}

}  // namespace quorvel
