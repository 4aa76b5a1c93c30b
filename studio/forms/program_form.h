// CViewProgramForm: the "Video Output" window. It owns the program output
// loop, so the studio publishes its program exactly while this view is
// open (into the output buffer and as the PipeWire camera), and shows the
// program in a preview that keeps the output's aspect ratio.
#pragma once

#include <QWidget>
#include <memory>
#include <string>

#include "engine/output_format.h"
#include "engine/program_output_loop.h"
#include "studio/forms/window_form.h"

namespace corvalind {

class PipeWireCamera;
class PreviewWidget;

inline constexpr const char* kCloseProgramQuestion =
    "Closing the Video Output stops the program output. Close it?";
inline constexpr const char* kNoProgramText =
    "No program is published: open View > Program to resume the feed.";

class CViewProgramForm : public QWidget, public WindowForm {
  Q_OBJECT
 public:
  // Starts the output loop at once, composing from `engine` (which must
  // outlive the form) and publishing into `bufferName`.
  CViewProgramForm(const OutputFormat& format, const std::string& bufferName, VideoEngine* engine,
                   QWidget* parent = nullptr);
  // Stops the loop before anything it uses goes, and says in the status
  // bar that no program is published any more.
  ~CViewProgramForm() override;

  int PreviewWidth() const { return previewWidth_; }
  int PreviewHeight() const { return previewHeight_; }
  PreviewWidget* Preview() const { return preview_; }
  ProgramOutputLoop& Loop() { return *loop_; }
  // The program as a PipeWire camera while this view exists.
  PipeWireCamera& Camera() { return *pipewire_; }

  QSize sizeHint() const override;

  // Projects keep the size of the window's normal rectangle and give it
  // back at load (the program size when absent).
  void SaveProjectElements(ProjectWindow& window) const override;
  void RestoreProjectElements(const ProjectWindow& window) override;
  // While the program is published, closing the view stops the feed of
  // every camera opened afterwards: the user is asked first.
  bool ConfirmClose() override;

  // Fits the preview into a client area of the given size keeping the
  // output's aspect ratio, centred; returns the preview's rectangle.
  static QRect FitPreview(const OutputFormat& format, int clientWidth, int clientHeight);

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  const OutputFormat format_;
  PreviewWidget* preview_ = nullptr;
  int previewWidth_ = 640;
  int previewHeight_ = 480;
  // Declared before the loop, so it outlives the loop that feeds it.
  std::unique_ptr<PipeWireCamera> pipewire_;
  std::unique_ptr<ProgramOutputLoop> loop_;
};

// The PipeWire node's name for the studio that publishes into `bufferName`:
// "corvalind-camera" for the studio's own buffer, with the buffer's name
// after it for a second studio's private one.
std::string PipeWireNodeName(const std::string& bufferName);

}  // namespace corvalind
