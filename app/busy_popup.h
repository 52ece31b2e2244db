#pragma once
// The "On Writing, Please Wait" notice: a small framed popup with bitmap
// 168, centred over its owner while the box writes.

#include <QLabel>

namespace ternis {

class BusyPopup {
 public:
  // Creates the popup window, hidden, sized to its bitmap.
  void Create(QWidget* owner, int bitmap_id);
  void Show();
  void Hide();
  bool visible() const { return visible_; }
  QLabel* window() const { return window_; }

 private:
  bool visible_ = false;
  QWidget* owner_ = nullptr;
  QLabel* window_ = nullptr;  // owned by the owner window
};

}  // namespace ternis
