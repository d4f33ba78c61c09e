#pragma once
// Every modal message of the program goes through one presenter, so tests can answer them.
// Window thread only.

#include <QString>

class QWidget;

namespace quorvel {

enum class Answer { Ok, Yes, No, Cancel };

class MessagePresenter {
  public:
    virtual ~MessagePresenter() = default;
    // A modal box with an OK button; detail is shown as the box's detailed text.
    virtual void message(QWidget* owner, const QString& text, const QString& caption,
                         const QString& detail = {}) = 0;
    // A modal Yes / No / Cancel question.
    virtual Answer question(QWidget* owner, const QString& text, const QString& caption) = 0;
};

// A caption given empty stays empty, not the program's name (call after the title is set).
void keep_caption(QWidget* window, const QString& caption);

// Real message boxes.
class DialogPresenter final : public MessagePresenter {
  public:
    void message(QWidget* owner, const QString& text, const QString& caption,
                 const QString& detail) override;
    Answer question(QWidget* owner, const QString& text, const QString& caption) override;
};

}  // namespace quorvel
