// SPDX-License-Identifier: MIT
// The profile's flash cadence (flash_every): which partial updates are
// carried out flashing, as apps refresh fully every N pages to clear the
// ghosts that fast waveforms leave. The emulator's model and the display
// service on the device count alike.
#ifndef ZODM_TOOLS_EPAPER_FLASHCADENCE_H
#define ZODM_TOOLS_EPAPER_FLASHCADENCE_H

namespace zodm::model {

class FlashCadence {
 public:
  // every: the Nth partial update since the last flash flashes; 0: never.
  explicit FlashCadence(int every) : every_(every) {}

  // An update is carried out: partial or not, flashing by its own waveform
  // or not. Returns whether it is carried out flashing. Any flash starts the
  // count again.
  bool next(bool partial, bool flashing) {
    if (flashing) {
      since_ = 0;
      return true;
    }
    if (!partial || every_ <= 0) return false;
    if (++since_ < every_) return false;
    since_ = 0;
    return true;
  }

 private:
  int every_;
  int since_ = 0;  // partial updates since the last flash
};

}  // namespace zodm::model

#endif  // ZODM_TOOLS_EPAPER_FLASHCADENCE_H
