// Turns the operator's guide from Markdown into the PDF that View Help opens, with Qt's own
// text layout, so the build needs no document tool of its own.
// Usage: make_guide <guide.md> <output.pdf> <title>

#include <QFile>
#include <QFont>
#include <QGuiApplication>
#include <QMarginsF>
#include <QPageLayout>
#include <QPageSize>
#include <QPdfWriter>
#include <QSaveFile>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextFrame>
#include <QTextTable>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("usage: make_guide <guide.md> <output.pdf> <title>\n", stderr);
        return 2;
    }
    // Fonts need a GUI application; a build machine may have no display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QString input = QString::fromLocal8Bit(argv[1]);
    const QString output = QString::fromLocal8Bit(argv[2]);

    QFile source(input);
    if (!source.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "make_guide: cannot read %s: %s\n", argv[1],
                     qUtf8Printable(source.errorString()));
        return 1;
    }
    QTextDocument doc;
    QFont body(QStringLiteral("DejaVu Sans"));
    body.setStyleHint(QFont::SansSerif);
    body.setPointSizeF(10);
    doc.setDefaultFont(body);
    doc.setMarkdown(QString::fromUtf8(source.readAll()), QTextDocument::MarkdownDialectGitHub);
    // Tables as imported touch their borders; a little air makes them readable on paper.
    for (QTextFrame* frame : doc.rootFrame()->childFrames()) {
        if (auto* table = qobject_cast<QTextTable*>(frame)) {
            QTextTableFormat format = table->format();
            format.setCellPadding(3);
            format.setBorderCollapse(true);
            table->setFormat(format);
        }
    }
    // Headings set apart from the table or list before them.
    for (QTextBlock block = doc.begin(); block.isValid(); block = block.next()) {
        const int level = block.blockFormat().headingLevel();
        if (level < 2) continue;
        QTextBlockFormat format = block.blockFormat();
        format.setTopMargin(level == 2 ? 16 : 10);
        QTextCursor(block).setBlockFormat(format);
    }
    if (doc.isEmpty()) {
        std::fprintf(stderr, "make_guide: %s holds no text\n", argv[1]);
        return 1;
    }

    // Written aside and renamed, so a failed run never leaves a PDF that looks up to date.
    QSaveFile pdf_file(output);
    if (!pdf_file.open(QIODevice::WriteOnly)) {
        std::fprintf(stderr, "make_guide: cannot write %s: %s\n", argv[2],
                     qUtf8Printable(pdf_file.errorString()));
        return 1;
    }
    {
        QPdfWriter writer(&pdf_file);
        writer.setTitle(QString::fromLocal8Bit(argv[3]));
        writer.setCreator(QStringLiteral("Quorvel make_guide"));
        // print() adds margins of 2 cm and the page numbers inside the page's own margins.
        writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait,
                                         QMarginsF(0, 0, 0, 0), QPageLayout::Millimeter));
        doc.print(&writer);
    }
    if (!pdf_file.commit()) {
        std::fprintf(stderr, "make_guide: cannot write %s: %s\n", argv[2],
                     qUtf8Printable(pdf_file.errorString()));
        return 1;
    }
    return 0;
}
