// Turns the operator's guide from Markdown into the PDF that View Help opens, with Qt's own
// text layout, so the build needs no document tool of its own. Pictures named in the guide
// are taken from the pictures folder (the build renders them from the windows); one that is
// missing fails the build rather than leaving a hole in the guide.
// Usage: make_guide <guide.md> <pictures folder> <output.pdf> <title>

#include <QDir>
#include <QFile>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QMarginsF>
#include <QPageLayout>
#include <QPageSize>
#include <QPdfWriter>
#include <QSaveFile>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextFragment>
#include <QTextFrame>
#include <QTextTable>
#include <QUrl>
#include <cstdio>
#include <vector>

#include "guide_pages.h"

namespace {

constexpr double kMarginMm = 20;
constexpr double kTextWidthMm = 210 - 2 * kMarginMm;  // A4
// Sizes in the document are given at the screen's 96 dots per inch; the layout scales them
// to the printer.
constexpr double kUnitsPerMm = 96 / 25.4;

void fail(const QString& what) {
    std::fprintf(stderr, "make_guide: %s\n", qUtf8Printable(what));
}

// The size of a picture on paper: the size the window has on a screen (its density is in
// the file), but never wider than the text.
QSizeF paper_size(const QImage& image) {
    const double dots_per_mm =
        image.dotsPerMeterX() > 0 ? image.dotsPerMeterX() / 1000.0 : kUnitsPerMm;
    QSizeF size(image.width() / dots_per_mm, image.height() / dots_per_mm);
    if (size.width() > kTextWidthMm) size *= kTextWidthMm / size.width();
    return size * kUnitsPerMm;
}

struct PictureUse {
    int position;
    QTextImageFormat format;
};

// Loads every picture the guide names and gives it its size on paper.
bool attach_pictures(QTextDocument& doc, const QDir& folder) {
    std::vector<PictureUse> uses;
    for (QTextBlock b = doc.begin(); b.isValid(); b = b.next()) {
        for (auto it = b.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat format = it.fragment().charFormat();
            if (format.isImageFormat())
                uses.push_back({it.fragment().position(), format.toImageFormat()});
        }
    }
    for (PictureUse& use : uses) {
        const QString name = use.format.name();
        const QImage image(folder.filePath(name));
        if (image.isNull()) {
            fail("no picture " + folder.filePath(name));
            return false;
        }
        doc.addResource(QTextDocument::ImageResource, QUrl(name), image);
        const QSizeF size = paper_size(image);
        use.format.setWidth(size.width());
        use.format.setHeight(size.height());
        QTextCursor cursor(&doc);
        cursor.setPosition(use.position);
        cursor.setPosition(use.position + 1, QTextCursor::KeepAnchor);
        cursor.setCharFormat(use.format);
    }
    return true;
}

void style(QTextDocument& doc) {
    // Tables as imported touch their borders; a little air makes them readable on paper,
    // and a table that runs onto the next page repeats its header there.
    for (QTextFrame* frame : doc.rootFrame()->childFrames()) {
        if (auto* table = qobject_cast<QTextTable*>(frame)) {
            QTextTableFormat format = table->format();
            format.setCellPadding(3);
            format.setBorderCollapse(true);
            format.setHeaderRowCount(1);
            table->setFormat(format);
        }
    }
    for (QTextBlock block = doc.begin(); block.isValid(); block = block.next()) {
        QTextBlockFormat format = block.blockFormat();
        const int level = format.headingLevel();
        const bool picture = guide::is_picture(block);
        const bool caption = block.previous().isValid() && guide::is_picture(block.previous());
        if (level >= 2) {
            // Headings set apart from the table or list before them.
            format.setTopMargin(level == 2 ? 16 : 10);
        } else if (picture) {
            format.setAlignment(Qt::AlignHCenter);
            format.setTopMargin(6);
        } else if (caption) {
            format.setAlignment(Qt::AlignHCenter);
            format.setBottomMargin(10);
        } else {
            continue;
        }
        QTextCursor(block).setBlockFormat(format);
    }
}

int make_guide(const QString& input, const QDir& pictures, const QString& output,
               const QString& title) {
    QFile source(input);
    if (!source.open(QIODevice::ReadOnly)) {
        fail("cannot read " + input + ": " + source.errorString());
        return 1;
    }
    QTextDocument doc;
    QFont body(QStringLiteral("DejaVu Sans"));
    body.setStyleHint(QFont::SansSerif);
    body.setPointSizeF(10);
    doc.setDefaultFont(body);
    doc.setMarkdown(QString::fromUtf8(source.readAll()), QTextDocument::MarkdownDialectGitHub);
    if (doc.isEmpty()) {
        fail(input + " holds no text");
        return 1;
    }
    if (!attach_pictures(doc, pictures)) return 1;
    style(doc);

    // Written aside and renamed, so a failed run never leaves a PDF that looks up to date.
    QSaveFile pdf_file(output);
    if (!pdf_file.open(QIODevice::WriteOnly)) {
        fail("cannot write " + output + ": " + pdf_file.errorString());
        return 1;
    }
    QPdfWriter writer(&pdf_file);
    writer.setTitle(title);
    writer.setCreator(QStringLiteral("Quorvel make_guide"));
    writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait,
                                     QMarginsF(0, 0, 0, 0), QPageLayout::Millimeter));
    guide::set_up_pages(doc, writer, kMarginMm);
    const std::vector<guide::ContentsEntry> contents = guide::insert_contents(doc);
    QString why;
    if (!guide::paginate(doc, contents, &why)) {
        fail(why);
        return 1;
    }
    if (!guide::print_pages(doc, writer) || !pdf_file.commit()) {
        fail("cannot write " + output + ": " + pdf_file.errorString());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fputs("usage: make_guide <guide.md> <pictures folder> <output.pdf> <title>\n", stderr);
        return 2;
    }
    // Fonts need a GUI application; a build machine may have no display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    return make_guide(QString::fromLocal8Bit(argv[1]), QDir(QString::fromLocal8Bit(argv[2])),
                      QString::fromLocal8Bit(argv[3]), QString::fromLocal8Bit(argv[4]));
}
