// control-gallery: every skinned and display control in its states, and the
// skin's art in place on the main window's background, so anyone can look
// at them without a set-top box.
//
//   control-gallery [--screenshot FILE.png]

#include <QApplication>
#include <QEnterEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>
#include <QVBoxLayout>

#include "controls/clock_display.h"
#include "controls/percent_progress_ctrl.h"
#include "controls/skin.h"
#include "controls/skin_button.h"
#include "controls/styled_label.h"
#include "protocol/date_time_code.h"

namespace ternis {
namespace {

using skin::LoadBitmap;

QWidget* Captioned(QWidget* widget, const QString& caption) {
  auto* box = new QWidget;
  auto* layout = new QVBoxLayout(box);
  layout->setContentsMargins(2, 2, 2, 2);
  layout->addWidget(widget, 0, Qt::AlignHCenter);
  auto* label = new QLabel(caption);
  label->setAlignment(Qt::AlignHCenter);
  layout->addWidget(label);
  return box;
}

void Hover(SkinButton* button) {
  QEnterEvent enter(QPointF(2, 2), QPointF(2, 2), QPointF(2, 2));
  QApplication::sendEvent(button, &enter);
}

SkinButton* KindButton(const QString& caption, QWidget* parent = nullptr) {
  auto* button = new SkinButton(SkinButton::Kind::Radio, parent);
  button->setText(caption);
  button->setFixedSize(95, 25);
  button->SetBitmaps(skin::IDB_KIND_NORMAL, skin::IDB_KIND_PRESSED, skin::IDB_KIND_HOVER, 0, 0, 0,
                     SkinButton::Plain, 0, 4);
  return button;
}

SkinButton* TitleButton(bool close, QWidget* parent = nullptr) {
  auto* button = new SkinButton(SkinButton::Kind::Push, parent);
  button->setFixedSize(16, 16);
  if (close) {
    button->SetBitmaps(skin::IDB_CLOSE_NORMAL, skin::IDB_CLOSE_PRESSED, skin::IDB_CLOSE_HOVER, 0, 0,
                       0, SkinButton::Plain);
    button->SetToolTipText("Close window");
  } else {
    button->SetBitmaps(skin::IDB_MINIMISE_NORMAL, skin::IDB_MINIMISE_PRESSED,
                       skin::IDB_MINIMISE_HOVER, 0, 0, 0, SkinButton::Plain);
    button->SetToolTipText("Minimize window");
  }
  return button;
}

QGroupBox* Buttons() {
  auto* group = new QGroupBox("SkinButton: title buttons and file-kind buttons");
  auto* grid = new QGridLayout(group);
  const char* states[] = {"normal", "hover", "pressed", "disabled"};
  for (int close = 0; close < 2; ++close) {
    for (int state = 0; state < 4; ++state) {
      SkinButton* button = TitleButton(close);
      if (state == 1) QTimer::singleShot(0, button, [button] { Hover(button); });
      if (state == 2) button->setDown(true);
      if (state == 3) button->setEnabled(false);
      grid->addWidget(Captioned(button, QString(close ? "close " : "minimise ") + states[state]),
                      close, state);
    }
  }
  auto* row = new QWidget;
  auto* kinds = new QHBoxLayout(row);
  SkinButton* normal = KindButton("M.Key", row);
  SkinButton* checked = KindButton("D.key", row);
  SkinButton* hover = KindButton("C.key", row);
  SkinButton* disabled = KindButton("Firmware", row);
  checked->SetCheck(1);
  QTimer::singleShot(0, hover, [hover] { Hover(hover); });
  disabled->setEnabled(false);
  kinds->addWidget(Captioned(normal, "normal"));
  kinds->addWidget(Captioned(checked, "checked"));
  kinds->addWidget(Captioned(hover, "hover"));
  kinds->addWidget(Captioned(disabled, "disabled"));
  grid->addWidget(row, 2, 0, 1, 4);
  return group;
}

QGroupBox* ProgressBars() {
  auto* group = new QGroupBox("PercentProgressCtrl");
  auto* grid = new QGridLayout(group);
  struct Case {
    int lower, upper, pos;
    const char* text;
    const char* caption;
  };
  const Case cases[] = {{0, 100, 0, "", "new: 0 of 0..100"},
                        {0, 200, 50, "", "50 of 0..200"},
                        {0, 100, 50, "", "half"},
                        {0, 1000, 999, "", "999 of 0..1000"},
                        {0, 100, 100, "", "complete"},
                        {0, 100, 40, "Loading", "custom text"}};
  int row = 0;
  for (const Case& c : cases) {
    auto* bar = new PercentProgressCtrl;
    bar->setFixedSize(337, 19);
    bar->SetRange32(c.lower, c.upper);
    bar->SetPos(c.pos);
    bar->SetText(c.text);
    grid->addWidget(bar, row, 0);
    grid->addWidget(new QLabel(c.caption), row++, 1);
  }
  auto* vertical = new PercentProgressCtrl;
  vertical->SetOrientation(Qt::Vertical);
  vertical->setFixedSize(19, 120);
  vertical->SetPos(70);
  grid->addWidget(Captioned(vertical, "vertical, 70"), 0, 2, row, 1);
  return group;
}

QGroupBox* Labels() {
  auto* group = new QGroupBox("StyledLabel");
  auto* grid = new QGridLayout(group);
  auto* gradient = new StyledLabel(nullptr, StyledLabel::SS_CENTER | StyledLabel::SS_CENTERIMAGE);
  gradient->setFixedSize(250, 30);
  gradient->SetLabelText("Gradient, 100 bands").SetForeColor(Rgb(255, 255, 255)).SetBold(true);
  gradient->SetBackground(Rgb(20, 40, 90), Rgb(58, 160, 255), true);
  auto* emboss = new StyledLabel(nullptr, StyledLabel::SS_CENTER | StyledLabel::SS_CENTERIMAGE);
  emboss->setFixedSize(250, 30);
  emboss->SetLabelText("Embossed").SetPointSize(14).SetForeColor(Rgb(90, 100, 120));
  emboss->SetEmboss(true, true).SetBackground(Rgb(210, 216, 226), 0, false);
  auto* link = new StyledLabel(nullptr, StyledLabel::SS_CENTER | StyledLabel::SS_CENTERIMAGE);
  link->setFixedSize(250, 30);
  link->SetLabelText("service@ternis.example").SetUnderline(true).SetForeColor(Rgb(0, 70, 200));
  link->EnableMailLink(true).SetHoverCursor(Qt::PointingHandCursor);
  auto* blink = new StyledLabel(nullptr, StyledLabel::SS_CENTER | StyledLabel::SS_CENTERIMAGE);
  blink->setFixedSize(250, 30);
  blink->SetLabelText("Blinking every 500 ms").SetForeColor(Rgb(214, 40, 40));
  blink->SetBackground(Rgb(255, 255, 255), 0, false).BlinkText(true);
  auto* angle = new StyledLabel;
  angle->setFixedSize(120, 120);
  angle->SetLabelText("45 degrees")
      .SetTextAngle(45, true)
      .SetBackground(Rgb(238, 242, 248), 0, false);
  grid->addWidget(Captioned(gradient, "gradient"), 0, 0);
  grid->addWidget(Captioned(emboss, "emboss"), 1, 0);
  grid->addWidget(Captioned(link, "mail link"), 2, 0);
  grid->addWidget(Captioned(blink, "blink"), 3, 0);
  grid->addWidget(Captioned(angle, "angle from the centre"), 0, 1, 4, 1);
  return group;
}

QGroupBox* Clock(QObject* owner) {
  auto* group = new QGroupBox("ClockDisplay (fixed at 2002-03-04 13:05:09)");
  auto* row = new QHBoxLayout(group);
  QLineEdit* fields[5];
  const char* names[] = {"hour", "minute", "second", "AM/PM", "code"};
  for (int i = 0; i < 5; ++i) {
    fields[i] = new QLineEdit;
    fields[i]->setReadOnly(true);
    fields[i]->setFixedWidth(i == 4 ? 100 : 40);
    row->addWidget(Captioned(fields[i], names[i]));
  }
  auto* clock = new ClockDisplay(fields[0], fields[1], fields[2], fields[3], fields[4], owner);
  clock->setLocalTime([] {
    std::tm t{};
    t.tm_year = 102, t.tm_mon = 2, t.tm_mday = 4, t.tm_hour = 13, t.tm_min = 5, t.tm_sec = 9;
    return t;
  });
  clock->setCodeText([](const std::tm& local) {
    return QString::fromStdString(FormatDateTimeCode(DateTimeCodeFor(local)));
  });
  clock->Create();
  clock->Tick();
  return group;
}

// The art in place: background 157 with the buttons and the bar where the
// main window puts them, and the busy notice.
QGroupBox* SkinPreview() {
  auto* group = new QGroupBox("The skin in place (main window layout) and the busy notice 168");
  auto* layout = new QHBoxLayout(group);
  auto* window = new QLabel;
  window->setPixmap(LoadBitmap(skin::IDB_BACKGROUND));
  window->setFixedSize(445, 392);
  TitleButton(false, window)->move(400, 5);
  TitleButton(true, window)->move(421, 5);
  const char* kinds[] = {"M.Key", "D.key", "C.key", "Firmware"};
  for (int i = 0; i < 4; ++i) {
    SkinButton* button = KindButton(kinds[i], window);
    button->move(40 + 90 * i, 125);
    if (i == 3) button->SetCheck(1);
  }
  auto* bar = new PercentProgressCtrl(window);
  bar->setGeometry(50, 191, 337, 19);
  bar->SetPos(64);
  auto* path = new QLineEdit("/srv/firmware/stb-7.4.1.hex", window);
  path->setReadOnly(true);
  path->setGeometry(50, 271, 337, 19);
  auto* version = new StyledLabel(window, StyledLabel::SS_CENTER);
  version->setGeometry(332, 367, 45, 19);
  version->SetLabelText(skin::VersionText()).UseParentBackground(true);
  layout->addWidget(window);
  auto* busy = new QLabel;
  busy->setPixmap(LoadBitmap(skin::IDB_BUSY));
  auto* icon = new QLabel;
  icon->setPixmap(skin::AppIcon().pixmap(64, 64));
  auto* side = new QVBoxLayout;
  side->addWidget(Captioned(busy, "busy notice"));
  side->addWidget(Captioned(icon, "icon 128"));
  side->addStretch();
  layout->addLayout(side);
  return group;
}

}  // namespace
}  // namespace ternis

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setFont(QFont(QStringLiteral("DejaVu Sans"), 8));
  QString screenshot;
  const QStringList args = QApplication::arguments();
  if (const int at = static_cast<int>(args.indexOf("--screenshot")); at > 0 && at + 1 < args.size())
    screenshot = args[at + 1];

  QWidget gallery;
  gallery.setWindowTitle("Ternis controls");
  gallery.setWindowIcon(ternis::skin::AppIcon());
  auto* columns = new QHBoxLayout(&gallery);
  auto* left = new QVBoxLayout;
  left->addWidget(ternis::Buttons());
  left->addWidget(ternis::ProgressBars());
  left->addWidget(ternis::Clock(&gallery));
  auto* right = new QVBoxLayout;
  right->addWidget(ternis::SkinPreview());
  right->addWidget(ternis::Labels());
  columns->addLayout(left);
  columns->addLayout(right);
  gallery.show();

  if (screenshot.isEmpty()) return app.exec();
  QTimer::singleShot(700, &gallery,  // after the first blink tick
                     [&] {
                       const bool saved = gallery.grab().save(screenshot);
                       app.exit(saved ? 0 : 1);
                     });
  return app.exec();
}
