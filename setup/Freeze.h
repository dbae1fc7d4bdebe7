#pragma once
// Suspends the redrawing of one window for the lifetime of the object, so that a list can be
// refilled without flicker. The window may be destroyed first; nothing is then resumed.

#include <QPointer>
#include <QWidget>

namespace drossgate::setup {

class Freeze {
 public:
  Freeze() = default;
  ~Freeze();
  Freeze(const Freeze&) = delete;
  Freeze& operator=(const Freeze&) = delete;

  // Stops redrawing window until this object is destroyed (or another window is frozen).
  void Form(QWidget& window);

 private:
  QPointer<QWidget> window_;
};

}  // namespace drossgate::setup
