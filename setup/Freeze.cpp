#include "Freeze.h"

namespace drossgate::setup {

Freeze::~Freeze() {
  if (window_) window_->setUpdatesEnabled(true);
}

void Freeze::Form(QWidget& window) {
  if (window_ && window_ != &window) window_->setUpdatesEnabled(true);
  window_ = &window;
  window.setUpdatesEnabled(false);
}

}  // namespace drossgate::setup
