#pragma once
// The file dialogs of the method commands, behind two replaceable functions so that window
// tests can answer them without a real dialog. Window thread.

#include <QString>
#include <functional>

class QWidget;

namespace quorvel {

struct FileDialogs {
    // An existing method file the operator chose, or empty when cancelled. `current`: the
    // path of the method in memory, to start from.
    std::function<QString(QWidget* owner, const QString& current)> open_method;
    // The file to save the method to, the operator having agreed to replace it if it
    // exists; empty when cancelled.
    std::function<QString(QWidget* owner, const QString& current)> save_method;

    // The system's dialogs, with the one filter "*.pmf".
    static FileDialogs standard();
};

}  // namespace quorvel
