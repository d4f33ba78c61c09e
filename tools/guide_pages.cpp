#include "guide_pages.h"

#include <QAbstractTextDocumentLayout>
#include <QFont>
#include <QPagedPaintDevice>
#include <QPainter>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextFragment>
#include <QTextFrame>
#include <QTextLayout>
#include <algorithm>

namespace guide {
namespace {

// Marks the blocks of the contents, so that its own title is not listed in it.
constexpr int kContentsBlock = QTextFormat::UserProperty + 1;

constexpr double kContentsWidthMm = 110;

// Each fix moves content down a page; a guide of this size settles in a few dozen.
constexpr int kMaxRounds = 200;

std::vector<QTextBlock> section_headings(const QTextDocument& doc) {
    std::vector<QTextBlock> headings;
    for (QTextBlock b = doc.begin(); b.isValid(); b = b.next()) {
        const int level = b.blockFormat().headingLevel();
        if ((level == 2 || level == 3) && !b.blockFormat().hasProperty(kContentsBlock))
            headings.push_back(b);
    }
    return headings;
}

// Lengths in formats are given at 96 dots per inch and scaled to the device by the layout;
// the page size is the device's own.
qreal units_per_device_dot(const QTextDocument& doc) {
    const QPaintDevice* device = doc.documentLayout()->paintDevice();
    return device ? 96.0 / device->logicalDpiX() : 1.0;
}

qreal text_width(const QTextDocument& doc) {
    const QTextFrameFormat root = doc.rootFrame()->frameFormat();
    return doc.pageSize().width() * units_per_device_dot(doc) - root.leftMargin() -
           root.rightMargin();
}

int page_at(const QTextDocument& doc, qreal y) {
    return static_cast<int>(y / doc.pageSize().height());
}

// A block's rectangle starts at its layout's position (in the whole document's coordinates),
// and a line that the layout pushed onto the next page keeps its offset from there.
int page_of_line(const QTextDocument& doc, const QTextBlock& block, bool last) {
    const qreal origin = doc.documentLayout()->blockBoundingRect(block).top();
    const QTextLayout* layout = block.layout();
    if (layout->lineCount() == 0) return page_at(doc, origin);
    return page_at(doc, origin + layout->lineAt(last ? layout->lineCount() - 1 : 0).y());
}

// The first of the blocks that must stay on one page with the block after `block`.
QTextBlock start_of_group(QTextBlock block) {
    for (QTextBlock before = block.previous(); before.isValid() && keeps_with_next(before);
         before = before.previous())
        block = before;
    return block;
}

// The contents' lines, in order, each with the heading it names.
std::vector<ContentsEntry> pair_lines_with_headings(const QTextDocument& doc) {
    std::vector<ContentsEntry> entries;
    QTextBlock line = doc.begin();
    for (const QTextBlock& heading : section_headings(doc)) {
        while (line.isValid() && (!line.blockFormat().hasProperty(kContentsBlock) ||
                                  line.blockFormat().headingLevel() != 0))
            line = line.next();
        if (!line.isValid()) break;
        entries.push_back({line, heading});
        line = line.next();
    }
    return entries;
}

// Moves the first group of kept-together blocks that a page break splits to the next page.
// False when there is none (or only groups longer than a page, which cannot be helped).
bool break_before_stranded(QTextDocument& doc) {
    for (QTextBlock b = doc.begin(); b.isValid(); b = b.next()) {
        const QTextBlock next = b.next();
        if (!keeps_with_next(b) || !next.isValid()) continue;
        if (first_page(doc, next) <= last_page(doc, b)) continue;
        const QTextBlock start = start_of_group(b);
        QTextBlockFormat format = start.blockFormat();
        if (format.pageBreakPolicy() & QTextFormat::PageBreak_AlwaysBefore) continue;
        format.setPageBreakPolicy(format.pageBreakPolicy() | QTextFormat::PageBreak_AlwaysBefore);
        QTextCursor(start).setBlockFormat(format);
        return true;
    }
    return false;
}

// Writes each heading's page after the tab of its contents line; true when one changed.
bool write_page_numbers(QTextDocument& doc, const std::vector<ContentsEntry>& contents) {
    bool changed = false;
    for (const ContentsEntry& entry : contents) {
        const QString number = QString::number(first_page(doc, entry.heading) + 1);
        const QString text = entry.line.text();
        const int tab = text.lastIndexOf('\t');
        if (tab < 0 || text.mid(tab + 1) == number) continue;
        QTextCursor cursor(entry.line);
        cursor.setPosition(entry.line.position() + tab + 1);
        cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
        cursor.insertText(number);
        changed = true;
    }
    return changed;
}

}  // namespace

void set_up_pages(QTextDocument& doc, QPagedPaintDevice& device, double margin_mm) {
    // Laid out for the device itself, so that lines break where the printed text does.
    doc.documentLayout()->setPaintDevice(&device);
    QTextFrameFormat root = doc.rootFrame()->frameFormat();
    root.setMargin(margin_mm * 96 / 25.4);
    doc.rootFrame()->setFrameFormat(root);
    doc.setPageSize(QSizeF(device.width(), device.height()));
}

std::vector<ContentsEntry> insert_contents(QTextDocument& doc) {
    const std::vector<QTextBlock> headings = section_headings(doc);
    if (headings.empty()) return {};
    std::vector<std::pair<QString, int>> lines;  // taken before the first heading is split
    for (const QTextBlock& heading : headings)
        lines.emplace_back(heading.text(), heading.blockFormat().headingLevel());
    const QTextBlock first = headings.front();
    const QTextBlockFormat first_format = first.blockFormat();
    const QTextCharFormat heading_chars = first.begin().fragment().charFormat();

    // The numbers stand in a column not much wider than the longest title, so that the eye
    // finds a title's number without leaders; level 3 is indented under its section.
    const qreal column = std::min(text_width(doc), kContentsWidthMm * 96 / 25.4);
    QTextBlockFormat title_format = first_format;
    title_format.setProperty(kContentsBlock, true);

    // Typed in front of the first heading: what follows the cursor (that heading's text)
    // moves on into the last block, which takes the heading's format back.
    QTextCursor cursor(first);
    cursor.beginEditBlock();
    cursor.insertText(QStringLiteral("Contents"), heading_chars);
    cursor.setBlockFormat(title_format);
    for (const auto& [text, level] : lines) {
        QTextBlockFormat format;
        format.setProperty(kContentsBlock, true);
        // Tab positions count from the indented edge.
        const int indent = level == 3 ? 1 : 0;
        format.setIndent(indent);
        format.setTabPositions(
            {QTextOption::Tab(column - indent * doc.indentWidth(), QTextOption::RightTab)});
        cursor.insertBlock(format, QTextCharFormat());
        cursor.insertText(text + "\t", QTextCharFormat());
    }
    cursor.insertBlock(first_format, heading_chars);
    cursor.endEditBlock();

    return pair_lines_with_headings(doc);
}

bool is_picture(const QTextBlock& block) {
    return block.text() == QString(QChar::ObjectReplacementCharacter) &&
           block.begin().fragment().charFormat().isImageFormat();
}

bool keeps_with_next(const QTextBlock& block) {
    return block.blockFormat().headingLevel() > 0 || is_picture(block);
}

int first_page(const QTextDocument& doc, const QTextBlock& block) {
    return page_of_line(doc, block, false);
}

int last_page(const QTextDocument& doc, const QTextBlock& block) {
    return page_of_line(doc, block, true);
}

bool paginate(QTextDocument& doc, const std::vector<ContentsEntry>& contents, QString* error) {
    for (int round = 0; round < kMaxRounds; ++round) {
        // Laid out afresh: the layout's own update after an edit can leave later blocks
        // without lines.
        doc.markContentsDirty(0, doc.characterCount());
        doc.pageCount();
        bool changed = write_page_numbers(doc, contents);
        if (!changed) changed = break_before_stranded(doc);
        if (!changed) return true;
    }
    if (error) *error = QStringLiteral("the pages do not settle");
    return false;
}

bool print_pages(const QTextDocument& doc, QPagedPaintDevice& device) {
    QPainter painter(&device);
    if (!painter.isActive()) return false;
    // Pictures of windows are sharp edges and flat colours, which JPEG blurs.
    painter.setRenderHint(QPainter::LosslessImageRendering);
    const QSizeF page = doc.pageSize();
    const qreal foot = doc.rootFrame()->frameFormat().bottomMargin() / units_per_device_dot(doc);
    const QFont number_font(doc.defaultFont(), &device);
    const int pages = doc.pageCount();
    for (int i = 0; i < pages; ++i) {
        if (i > 0 && !device.newPage()) return false;
        const QRectF view(0, i * page.height(), page.width(), page.height());
        painter.save();
        painter.translate(0, -view.top());
        painter.setClipRect(view);
        QAbstractTextDocumentLayout::PaintContext context;
        context.clip = view;
        context.palette.setColor(QPalette::Text, Qt::black);
        doc.documentLayout()->draw(&painter, context);
        painter.restore();
        painter.setFont(number_font);
        painter.drawText(QRectF(0, page.height() - foot, page.width(), foot / 2), Qt::AlignCenter,
                         QString::number(i + 1));
    }
    return painter.end();
}

}  // namespace guide
