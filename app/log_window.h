#pragma once
// The log window: every line of the log book with its time, read-only,
// selectable, copied with Ctrl+C and saved to a file; optionally only the
// lines of one slot. Not modal; it follows the book as lines arrive: a line
// after a quiet spell at once, a burst of lines together within 20 ms.

#include <QDialog>
#include <QString>
#include <QStringList>
#include <QTimer>

class QPlainTextEdit;
class QPushButton;

namespace ternis {

class LogBook;
struct LogLine;

class LogWindow : public QDialog {
  Q_OBJECT

 public:
  // The view's own bound, while it is open: about as many short lines as
  // the book keeps.
  static constexpr int kLinesShown = 30000;

  explicit LogWindow(LogBook& book, QWidget* parent = nullptr);

  // Shows only the lines of `slot`; an empty one shows them all.
  void SetSlotFilter(const QString& slot);
  // Writes the lines shown to `path`; false, with the reason in the log, when it cannot.
  bool SaveTo(const QString& path);

  QPlainTextEdit* view() const { return view_; }
  QPushButton* copyAllButton() const { return copy_all_; }
  QPushButton* saveButton() const { return save_; }
  QPushButton* closeButton() const { return close_; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void CreateControls();
  void ShowTitle();
  void ShowBook();
  void TakeNewLine(const LogLine& line);
  void ShowNewLines();
  void ScrollToEnd();
  bool Shows(const LogLine& line) const;
  QStringList ShownLines() const;
  QString ShownText() const;
  void CopyAll();
  void AskWhereToSave();

  LogBook& book_;
  QString filter_;
  QPlainTextEdit* view_ = nullptr;
  QPushButton* copy_all_ = nullptr;
  QPushButton* save_ = nullptr;
  QPushButton* close_ = nullptr;
  QStringList new_lines_;  // not yet in the view
  QTimer show_new_lines_;
};

}  // namespace ternis
