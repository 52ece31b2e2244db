#include "station_window/station_look.h"

#include <QFontDatabase>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>

namespace ternis::station_look {

QFont Font() {
  const bool verdana = QFontDatabase::families().contains(QStringLiteral("Verdana"));
  return QFont(verdana ? QStringLiteral("Verdana") : QStringLiteral("DejaVu Sans"), 8);
}

QWidget* Heading(const QString& text, QWidget* parent) {
  auto* box = new QWidget(parent);
  auto* layout = new QHBoxLayout(box);
  layout->setContentsMargins(0, 6, 0, 0);
  auto* label = new QLabel(text, box);
  QFont font = label->font();
  font.setBold(true);
  font.setPointSize(font.pointSize() + 1);
  label->setFont(font);
  auto* rule = new QFrame(box);
  rule->setFrameShape(QFrame::HLine);
  rule->setStyleSheet(QStringLiteral("color: rgb(190,202,222);"));
  layout->addWidget(label);
  layout->addWidget(rule, 1);
  return box;
}

}  // namespace ternis::station_look
