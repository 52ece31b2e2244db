#pragma once
// The station window's line and records panel: the line settings for every
// port (applied with a button) and where the units are recorded (a file or
// a postgresql:// URI; empty: nowhere). It only shows and asks; the window
// changes the station.

#include <QString>
#include <QWidget>

#include "link/line_settings.h"

class QComboBox;
class QLineEdit;
class QPushButton;

namespace ternis {

class LinePanel : public QWidget {
  Q_OBJECT

 public:
  explicit LinePanel(QWidget* parent = nullptr);

  void ShowLine(const LineSettings& line);
  void ShowRecord(const QString& record);
  QLineEdit* recordBox() const { return record_box_; }

 signals:
  void lineApplied(const ternis::LineSettings& line);
  // The record box was edited, or a file chosen.
  void recordChosen(const QString& record);

 private:
  LineSettings LineFromControls() const;
  void ChooseRecordFile();

  QComboBox* baud_ = nullptr;
  QComboBox* data_ = nullptr;
  QComboBox* parity_ = nullptr;
  QComboBox* stop_ = nullptr;
  QPushButton* apply_ = nullptr;
  QLineEdit* record_box_ = nullptr;
  QString record_;
};

}  // namespace ternis
