#include "app/log_window.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFileDialog>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QScrollBar>
#include <QVBoxLayout>
#include <chrono>

#include "app/log_book.h"

namespace ternis {

namespace {
constexpr std::chrono::milliseconds kShowEvery{20};
}  // namespace

LogWindow::LogWindow(LogBook& book, QWidget* parent)
    : QDialog(parent), book_(book), view_(new QPlainTextEdit(this)) {
  CreateControls();
  ShowTitle();
  ShowBook();
  // A line after a quiet spell goes into the view at once; lines that follow
  // within kShowEvery go in together when it ends: an append costs about as
  // much for one line as for a thousand, and a fast transfer logs thousands
  // a second.
  show_new_lines_.setSingleShot(true);
  show_new_lines_.setInterval(kShowEvery);
  connect(&show_new_lines_, &QTimer::timeout, this, &LogWindow::ShowNewLines);
  connect(&book_, &LogBook::appended, this, &LogWindow::TakeNewLine);
}

void LogWindow::CreateControls() {
  setModal(false);
  resize(760, 420);
  view_->setReadOnly(true);
  view_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  view_->setLineWrapMode(QPlainTextEdit::NoWrap);
  view_->setUndoRedoEnabled(false);
  view_->setMaximumBlockCount(kLinesShown);
  view_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  copy_all_ = new QPushButton(tr("Copy all"), this);
  save_ = new QPushButton(tr("Save…"), this);
  close_ = new QPushButton(tr("Close"), this);
  // Enter in the view must not close the window.
  for (QPushButton* button : {copy_all_, save_, close_}) button->setAutoDefault(false);
  connect(copy_all_, &QPushButton::clicked, this, &LogWindow::CopyAll);
  connect(save_, &QPushButton::clicked, this, &LogWindow::AskWhereToSave);
  connect(close_, &QPushButton::clicked, this, &QDialog::close);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(copy_all_);
  buttons->addWidget(save_);
  buttons->addStretch();
  buttons->addWidget(close_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(view_);
  layout->addLayout(buttons);
}

void LogWindow::SetSlotFilter(const QString& slot) {
  if (slot == filter_) return;
  filter_ = slot;
  ShowTitle();
  ShowBook();
}

bool LogWindow::SaveTo(const QString& path) {
  QSaveFile file(path);
  if (file.open(QIODevice::WriteOnly)) {
    file.write(ShownText().toUtf8());
    if (file.commit()) return true;
  }
  // Said under the slot shown, so that it appears in this window.
  book_.Append(tr("Cannot save the log to %1: %2").arg(path, file.errorString()), filter_);
  return false;
}

void LogWindow::ShowTitle() {
  setWindowTitle(filter_.isEmpty() ? tr("Log — Ternis Download Tool")
                                   : tr("Log of %1 — Ternis Download Tool").arg(filter_));
}

void LogWindow::ShowBook() {
  new_lines_.clear();
  view_->setPlainText(ShownLines().join(QLatin1Char('\n')));
  ScrollToEnd();
}

// Opened again, it shows the newest lines, wherever the reader left it.
void LogWindow::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  ShowNewLines();
  ScrollToEnd();
}

// At the start of the last line: the end of a long line would scroll the
// short ones out of sight to the left.
void LogWindow::ScrollToEnd() {
  view_->moveCursor(QTextCursor::End);
  view_->moveCursor(QTextCursor::StartOfBlock);
  view_->horizontalScrollBar()->setValue(0);
  view_->verticalScrollBar()->setValue(view_->verticalScrollBar()->maximum());
}

void LogWindow::TakeNewLine(const LogLine& line) {
  if (!Shows(line)) return;
  new_lines_.append(LogBook::Format(line));
  if (show_new_lines_.isActive()) return;
  ShowNewLines();
  show_new_lines_.start();
}

// Keeps following the end unless the reader has scrolled up.
void LogWindow::ShowNewLines() {
  if (new_lines_.isEmpty()) return;
  QScrollBar* bar = view_->verticalScrollBar();
  const bool following = bar->value() == bar->maximum();
  view_->appendPlainText(new_lines_.join(QLatin1Char('\n')));
  new_lines_.clear();
  if (following) bar->setValue(bar->maximum());
}

bool LogWindow::Shows(const LogLine& line) const {
  return filter_.isEmpty() || line.slot == filter_;
}

QStringList LogWindow::ShownLines() const {
  QStringList lines;
  for (const LogLine& line : book_.lines())
    if (Shows(line)) lines.append(LogBook::Format(line));
  return lines;
}

QString LogWindow::ShownText() const {
  const QStringList lines = ShownLines();
  return lines.isEmpty() ? QString() : lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

void LogWindow::CopyAll() {
  QApplication::clipboard()->setText(ShownText());
}

// Opened with open(), not exec(): no nested event loop, so closing the
// program while the dialog is up needs nothing special.
void LogWindow::AskWhereToSave() {
  auto* dialog = new QFileDialog(this, tr("Save the log"), QDir::homePath(),
                                 tr("Text files (*.txt *.log);;All files (*)"));
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setAcceptMode(QFileDialog::AcceptSave);
  dialog->setDefaultSuffix(QStringLiteral("txt"));
  dialog->selectFile(QStringLiteral("download-log.txt"));
  connect(dialog, &QFileDialog::fileSelected, this, [this](const QString& path) { SaveTo(path); });
  dialog->open();
}

}  // namespace ternis
