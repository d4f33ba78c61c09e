#include "file_dialogs.h"

#include <QFileDialog>

namespace quorvel {

FileDialogs FileDialogs::standard() {
    static const QString kFilter = QStringLiteral("*.pmf");
    return {
        // getOpenFileName only ever returns an existing file.
        [](QWidget* owner, const QString& current) {
            return QFileDialog::getOpenFileName(owner, QString(), current, kFilter);
        },
        // getSaveFileName asks before an existing file is replaced.
        [](QWidget* owner, const QString& current) {
            return QFileDialog::getSaveFileName(owner, QString(), current, kFilter);
        },
    };
}

}  // namespace quorvel
