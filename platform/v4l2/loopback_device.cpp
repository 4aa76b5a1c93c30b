#include "platform/v4l2/loopback_device.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <libyuv/convert.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

namespace corvalind {

namespace {

// "video12" -> 12; -1 for other names.
int DeviceNumber(const std::string& name) {
  if (name.rfind("video", 0) != 0 || name.size() == 5) return -1;
  int n = 0;
  for (std::size_t i = 5; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9' || n > 100000) return -1;
    n = n * 10 + (name[i] - '0');
  }
  return n;
}

std::string FirstLine(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
  return line;
}

int Ioctl(int fd, unsigned long request, void* arg) {
  int r = 0;
  do {
    r = ioctl(fd, request, arg);
  } while (r < 0 && errno == EINTR);
  return r;
}

}  // namespace

std::vector<LoopbackDevice> FindLoopbackDevices(const std::filesystem::path& classFolder,
                                                const std::filesystem::path& deviceFolder) {
  std::vector<std::pair<int, LoopbackDevice>> found;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(classFolder, ec)) {
    const std::string name = entry.path().filename().string();
    const int number = DeviceNumber(name);
    if (number < 0) continue;
    // The module gives its devices attributes no other driver has.
    if (!std::filesystem::exists(entry.path() / "max_openers", ec)) continue;
    const std::filesystem::path node = deviceFolder / name;
    if (!std::filesystem::exists(node, ec)) continue;
    LoopbackDevice device;
    device.path = node.string();
    device.name = FirstLine(entry.path() / "name");
    if (device.name.empty()) device.name = name;
    found.emplace_back(number, std::move(device));
  }
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<LoopbackDevice> devices;
  for (auto& f : found) devices.push_back(std::move(f.second));
  return devices;
}

struct LoopbackWriter::State {
  LoopbackFormat format;
  FailureHandler onFailure;
  uint32_t pictureBytes = 0;
  int fd = -1;

  std::mutex mutex;
  std::condition_variable wake;
  bool stop = false;             // under mutex
  bool fresh = false;            // under mutex
  std::vector<uint8_t> offered;  // under mutex
  std::vector<uint8_t> taken;    // writer thread
  std::vector<uint8_t> frame;    // writer thread: the I420 picture

  std::atomic<uint64_t> written{0};
  std::atomic<bool> failed{false};
  std::thread thread;

  void Convert() {
    const int w = format.width;
    const int h = format.height;
    const int chromaWidth = (w + 1) / 2;
    const int chromaHeight = (h + 1) / 2;
    uint8_t* y = frame.data();
    uint8_t* u = y + static_cast<std::size_t>(w) * h;
    uint8_t* v = u + static_cast<std::size_t>(chromaWidth) * chromaHeight;
    // Bottom row first in the buffer: a negative height turns it.
    libyuv::RGB24ToI420(taken.data(), w * 3, y, w, u, chromaWidth, v, chromaWidth, w, -h);
  }

  void Run() {
    using Clock = std::chrono::steady_clock;
    const auto interval = std::chrono::nanoseconds(1000000000LL / format.frameRate);
    Clock::time_point last = Clock::now() - interval;
    std::unique_lock<std::mutex> lock(mutex);
    while (!stop) {
      // Woken by a new picture, or at the repeat an interval after the last write.
      wake.wait_until(lock, last + interval, [&] { return stop || fresh; });
      if (stop) break;
      const Clock::time_point now = Clock::now();
      if (fresh && now < last + interval * 3 / 4) {
        wake.wait_until(lock, last + interval * 3 / 4, [&] { return stop; });
        continue;
      }
      if (!fresh && now < last + interval) continue;
      const bool convert = fresh;
      if (fresh) {
        std::swap(offered, taken);
        fresh = false;
      }
      lock.unlock();
      if (convert) Convert();
      const ssize_t n = write(fd, frame.data(), frame.size());
      last = Clock::now();
      if (n == static_cast<ssize_t>(frame.size())) {
        written.fetch_add(1);
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        const std::string why = std::strerror(errno);
        failed.store(true);
        if (onFailure) onFailure("The V4L2 loopback device stopped taking pictures (" + why + ")");
        lock.lock();
        break;
      }
      lock.lock();
    }
  }
};

LoopbackWriter::LoopbackWriter(const LoopbackFormat& format, FailureHandler onFailure)
    : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.format = format;
  if (s.format.frameRate < 1) s.format.frameRate = 1;
  s.onFailure = std::move(onFailure);
  s.pictureBytes = static_cast<uint32_t>(format.width) * static_cast<uint32_t>(format.height) * 3u;
  s.offered.assign(s.pictureBytes, 0);
  s.taken.assign(s.pictureBytes, 0);
  const std::size_t luma = static_cast<std::size_t>(format.width) * format.height;
  const std::size_t chroma = static_cast<std::size_t>((format.width + 1) / 2) * ((format.height + 1) / 2);
  s.frame.assign(luma + 2 * chroma, 0);
  // Black until the first picture.
  std::fill(s.frame.begin(), s.frame.begin() + static_cast<std::ptrdiff_t>(luma), uint8_t{16});
  std::fill(s.frame.begin() + static_cast<std::ptrdiff_t>(luma), s.frame.end(), uint8_t{128});
}

LoopbackWriter::~LoopbackWriter() {
  State& s = *state_;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.stop = true;
  }
  s.wake.notify_all();
  if (s.thread.joinable()) s.thread.join();
  if (s.fd >= 0) close(s.fd);
}

bool LoopbackWriter::Open(const std::string& path, std::string* reason) {
  State& s = *state_;
  if (s.fd >= 0) {
    if (reason) *reason = "already writing to a device";
    return false;
  }
  auto fail = [&](const std::string& why) {
    if (reason) *reason = path + ": " + why;
    if (s.fd >= 0) close(s.fd);
    s.fd = -1;
    return false;
  };
  s.fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (s.fd < 0) return fail(std::strerror(errno));
  v4l2_capability caps{};
  if (Ioctl(s.fd, VIDIOC_QUERYCAP, &caps) < 0) return fail("not a video device (" + std::string(std::strerror(errno)) + ")");
  const std::string driver(reinterpret_cast<const char*>(caps.driver),
                           strnlen(reinterpret_cast<const char*>(caps.driver), sizeof(caps.driver)));
  if (driver != "v4l2 loopback") return fail("not a V4L2 loopback device (driver \"" + driver + "\")");

  v4l2_format format{};
  format.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
  format.fmt.pix.width = static_cast<uint32_t>(s.format.width);
  format.fmt.pix.height = static_cast<uint32_t>(s.format.height);
  format.fmt.pix.pixelformat = V4L2_PIX_FMT_YUV420;
  format.fmt.pix.field = V4L2_FIELD_NONE;
  format.fmt.pix.bytesperline = static_cast<uint32_t>(s.format.width);
  format.fmt.pix.sizeimage = static_cast<uint32_t>(s.frame.size());
  format.fmt.pix.colorspace = V4L2_COLORSPACE_SRGB;
  if (Ioctl(s.fd, VIDIOC_S_FMT, &format) < 0) return fail("refuses the picture format (" + std::string(std::strerror(errno)) + ")");
  if (format.fmt.pix.width != static_cast<uint32_t>(s.format.width) ||
      format.fmt.pix.height != static_cast<uint32_t>(s.format.height) ||
      format.fmt.pix.pixelformat != V4L2_PIX_FMT_YUV420) {
    return fail("is set to another picture format by the program reading it");
  }
  v4l2_streamparm parm{};
  parm.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
  parm.parm.output.timeperframe.numerator = 1;
  parm.parm.output.timeperframe.denominator = static_cast<uint32_t>(s.format.frameRate);
  Ioctl(s.fd, VIDIOC_S_PARM, &parm);  // the rate is advisory; keep going without it

  s.thread = std::thread([&s] { s.Run(); });
  return true;
}

void LoopbackWriter::Offer(const uint8_t* picture, uint32_t bytes) {
  State& s = *state_;
  if (bytes < s.pictureBytes) return;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    std::memcpy(s.offered.data(), picture, s.pictureBytes);
    s.fresh = true;
  }
  s.wake.notify_one();
}

uint64_t LoopbackWriter::FramesWritten() const { return state_->written.load(); }
bool LoopbackWriter::Failed() const { return state_->failed.load(); }

}  // namespace corvalind
