#pragma once
// Enter in the program's dialogs: on a focused
// push button it clicks that button; anywhere else it is the OK command.

class QKeyEvent;
class QWidget;

namespace ternis {

// True for Enter and Return.
bool IsEnterKey(const QKeyEvent* event);
// Clicks `focus` when it is a plain (not checkable) push button; false otherwise.
bool ClickFocusedPushButton(QWidget* focus);

}  // namespace ternis
