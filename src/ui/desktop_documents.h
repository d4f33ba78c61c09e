#pragma once
// Showing a document in the desktop's own viewer, behind a replaceable function so that
// window tests never start a real viewer, and where the installed guide is found.
// Window thread.

#include <QString>
#include <functional>

namespace quorvel {

// The help file's name, in the start-up directory and as the guide the build makes.
inline constexpr const char* kHelpFileName = "tamselhelp.pdf";

struct DesktopDocuments {
    // The running program's folder: the installed guide is found from it.
    QString program_dir;
    // Asks the desktop to show the file in the viewer it associates with the file's type.
    // `failed` is called, at once or once the desktop has tried, when no viewer could be
    // started for it; never after the program has begun to end.
    std::function<void(const QString& path, std::function<void()> failed)> open;

    // The program's own folder, and xdg-open (or, without it, Qt's own way to the desktop).
    static DesktopDocuments standard();
};

// The guide beside a program in <prefix>/bin: <prefix>/share/doc/quorvel/tamselhelp.pdf.
// A build tree puts the guide it makes at the same place relative to its program.
QString installed_guide_path(const QString& program_dir);

// True for a regular file that can be opened for reading. Opens without blocking, so a FIFO
// or a device under the help file's name never hangs the window thread.
bool readable_document(const QString& path);

}  // namespace quorvel
