// CViewProgramForm: the "Video Output" window. It owns the program output
// loop, so the studio publishes its program exactly while this view is
// open (into the output buffer and as the PipeWire camera), and shows the
// program in a preview that keeps the output's aspect ratio. It also writes
// the program into a V4L2 loopback device when the user chose one.
#pragma once

#include <QWidget>
#include <memory>
#include <mutex>
#include <string>

#include "engine/output_format.h"
#include "engine/program_output_loop.h"
#include "studio/forms/window_form.h"

namespace corvalind {

class LoopbackWriter;
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

  // The open program view, or null (there is one at most).
  static CViewProgramForm* OpenView();
  // Writes the program into the V4L2 loopback device at `path` as well,
  // instead of the one before ("" stops). Says in the status bar where the
  // program goes, or why it cannot; false then.
  bool WriteToLoopback(const std::string& path);
  // The device written into now ("" for none).
  const std::string& LoopbackPath() const { return loopbackPath_; }
  // Pictures written into it so far (0 without a device).
  uint64_t LoopbackFramesWritten();

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
  // Declared before the loop, so they outlive the loop that feeds them.
  std::unique_ptr<PipeWireCamera> pipewire_;
  std::mutex loopbackMutex_;  // the loop's offer against a change of device
  std::unique_ptr<LoopbackWriter> loopback_;
  std::string loopbackPath_;
  std::unique_ptr<ProgramOutputLoop> loop_;
};

// The PipeWire node's name for the studio that publishes into `bufferName`:
// "corvalind-camera" for the studio's own buffer, with the buffer's name
// after it for a second studio's private one.
std::string PipeWireNodeName(const std::string& bufferName);

// The missing PipeWire is said once a run; this starts the run afresh
// (a test that checks the notice).
void ForgetPipeWireNotice();

}  // namespace corvalind
