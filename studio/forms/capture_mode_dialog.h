// The modal "Video Output" dialog of the camera form's Mode button: the
// capture device's capabilities, one line each, with the one the camera
// runs in now preselected. UI thread only.
#pragma once

#include <QDialog>
#include <cstdint>
#include <vector>

#include "capture/media_toolkit.h"

class QListWidget;

namespace corvalind {

class CaptureModeDialog : public QDialog {
  Q_OBJECT
 public:
  // `width` x `height` at `frameDuration` (100-ns units, 0 when unknown) is
  // the running mode: the first capability of that size is preselected,
  // one that also has that frame duration before it; the first line when
  // none has that size.
  CaptureModeDialog(std::vector<CaptureCapability> capabilities, int width, int height, int64_t frameDuration,
                    QWidget* parent = nullptr);

  // The chosen capability's position in the list, or -1.
  int ChosenIndex() const;
  // The chosen capability, or null.
  const CaptureCapability* Chosen() const;
  QListWidget* List() const { return list_; }

 private:
  std::vector<CaptureCapability> capabilities_;
  QListWidget* list_ = nullptr;
};

// The line of the running mode among `capabilities` (see the constructor),
// or -1 for an empty list.
int MatchingCapability(const std::vector<CaptureCapability>& capabilities, int width, int height,
                       int64_t frameDuration);

}  // namespace corvalind
