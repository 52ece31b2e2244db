#pragma once
// The station window's look: the skin's colours (res/draw_skin.py), so it
// sits with the main window, its font and its section headings.

#include <QColor>
#include <QFont>
#include <QString>

class QWidget;

namespace ternis::station_look {

inline const QColor kNavy(20, 40, 90);
inline const QColor kNavyLight(38, 70, 140);
inline const QColor kPanel(238, 242, 248);
inline const QColor kInk(40, 52, 74);

QFont Font();
// A bold section title with a rule running to the right edge.
QWidget* Heading(const QString& text, QWidget* parent);

}  // namespace ternis::station_look
