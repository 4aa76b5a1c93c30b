// The camera's diagnostic log, off unless CORVALIND_CAM_LOG=1 is set in
// the environment of the program that opens the camera. The log is
// "CorvalindCam.log" in the settings folder; the previous run's log is kept
// as "CorvalindCamOLD.log". Each entry is one line "HH:MM:SS:mmm  text".
#pragma once

#include <string_view>

namespace corvalind {

// When the switch is on: keeps the previous log as the old one and starts
// a new log (every camera element made starts one).
void OpenCameraLog();
bool CameraLogOn();
// Writes one entry; a trailing line end in the text is dropped. Any thread.
void CameraLog(std::string_view text);
// printf-style entry.
void CameraLogF(const char* format, ...) __attribute__((format(printf, 1, 2)));
void CloseCameraLog();

}  // namespace corvalind
