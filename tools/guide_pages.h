#pragma once
// The guide's pages: a table of contents that gives each section's page, headings and
// pictures kept on the page of what follows them, and the pages printed with their numbers.
// Qt's PDF writer (6.4) writes no outline, so the contents page is the only way in.

#include <QString>
#include <QTextBlock>
#include <vector>

class QPagedPaintDevice;
class QTextDocument;

namespace guide {

// One line of the contents and the heading it names.
struct ContentsEntry {
    QTextBlock line;
    QTextBlock heading;
};

// Lays the document out on the device's pages with margins of margin_mm.
void set_up_pages(QTextDocument& doc, QPagedPaintDevice& device, double margin_mm);

// Puts "Contents" and a line per heading of levels 2 and 3 before the first heading of
// level 2; the page numbers are filled in by paginate().
std::vector<ContentsEntry> insert_contents(QTextDocument& doc);

// A paragraph that is one picture and nothing else; the paragraph after it is its caption.
bool is_picture(const QTextBlock& block);

// A block that must share its page with the block after it: a heading, or a picture (with
// its caption).
bool keeps_with_next(const QTextBlock& block);

// Breaks pages before headings and pictures that would otherwise end a page, and writes
// each section's page into the contents, until neither changes. False with the reason when
// that does not settle.
bool paginate(QTextDocument& doc, const std::vector<ContentsEntry>& contents, QString* error);

// The zero-based page on which the block's first or last line lies.
int first_page(const QTextDocument& doc, const QTextBlock& block);
int last_page(const QTextDocument& doc, const QTextBlock& block);

// Paints every page with its number at the foot.
bool print_pages(const QTextDocument& doc, QPagedPaintDevice& device);

}  // namespace guide
