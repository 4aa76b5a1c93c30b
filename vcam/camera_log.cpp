#include "vcam/camera_log.h"

#include <sys/time.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "platform/folders.h"

namespace corvalind {

namespace {

std::mutex gLogMutex;
std::atomic<std::FILE*> gLog{nullptr};

}  // namespace

bool CameraLogOn() {
  const char* value = std::getenv("CORVALIND_CAM_LOG");
  return value && std::strcmp(value, "1") == 0;
}

void OpenCameraLog() {
  if (!CameraLogOn()) return;
  std::lock_guard<std::mutex> guard(gLogMutex);
  if (std::FILE* previous = gLog.exchange(nullptr)) std::fclose(previous);
  const std::string folder = ConfigFolder();
  EnsureFolder(folder);
  const std::string current = folder + "/CorvalindCam.log";
  const std::string old = folder + "/CorvalindCamOLD.log";
  std::remove(old.c_str());
  std::rename(current.c_str(), old.c_str());
  gLog = std::fopen(current.c_str(), "wb");  // failure leaves the log off
}

void CameraLog(std::string_view text) {
  std::lock_guard<std::mutex> guard(gLogMutex);
  std::FILE* log = gLog.load();
  if (!log) return;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  struct timeval now {};
  gettimeofday(&now, nullptr);
  struct tm local {};
  localtime_r(&now.tv_sec, &local);
  std::fprintf(log, "%02d:%02d:%02d:%03d  %.*s\r\n", local.tm_hour, local.tm_min, local.tm_sec,
               static_cast<int>(now.tv_usec / 1000), static_cast<int>(text.size()), text.data());
  std::fflush(log);
}

void CameraLogF(const char* format, ...) {
  if (!gLog.load()) return;  // cheap test first; CameraLog checks again under the lock
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  CameraLog(text);
}

void CloseCameraLog() {
  std::lock_guard<std::mutex> guard(gLogMutex);
  if (std::FILE* log = gLog.exchange(nullptr)) std::fclose(log);
}

}  // namespace corvalind
