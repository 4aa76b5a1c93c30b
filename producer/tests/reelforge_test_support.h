// What the Reelforge tests share: a folder of the test, a picture the test
// publishes under a private output-buffer name for the camera to serve,
// and WebM files read back (gst-discoverer-1.0 and ffprobe for the
// container, a decoding pipeline for the frames).
#pragma once

#include <gst/gst.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "vcam/tests/vcam_test_support.h"

namespace corvalind::testing {

// The camera serves 320 x 180 at 25 frames per second: small pictures keep
// the encoder fast under the sanitizers.
inline constexpr int kTestWidth = 320;
inline constexpr int kTestHeight = 180;
inline constexpr int kTestFps = 25;
inline void UseSmallCameraPicture() { UseSettings("0,2,0"); }

// A fresh folder under the temporary folder, gone with the object.
class TestFolder {
 public:
  explicit TestFolder(const std::string& what)
      : path_(std::filesystem::temp_directory_path() /
              ("corvalind-reelforge-" + what + "-" + std::to_string(getpid()))) {
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~TestFolder() { std::filesystem::remove_all(path_); }
  const std::filesystem::path& Path() const { return path_; }
  // The folder as OUTPUT_FILES wants it: ending with a separator.
  std::string Prefix() const { return path_.string() + "/"; }

 private:
  std::filesystem::path path_;
};

// One solid colour (blue, green, red) over the whole bottom-up picture.
inline std::vector<uint8_t> SolidPicture(uint8_t b, uint8_t g, uint8_t r) {
  std::vector<uint8_t> picture(static_cast<std::size_t>(kTestWidth) * kTestHeight * 3);
  for (std::size_t i = 0; i < picture.size(); i += 3) {
    picture[i] = b;
    picture[i + 1] = g;
    picture[i + 2] = r;
  }
  return picture;
}

// What gst-discoverer-1.0 says about a file, as one text.
inline std::string Discover(const std::string& path) {
  const std::string command = "gst-discoverer-1.0 -v '" + path + "' 2>&1";
  std::FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return {};
  std::string text;
  char chunk[4096];
  while (std::size_t got = std::fread(chunk, 1, sizeof chunk, pipe)) text.append(chunk, got);
  pclose(pipe);
  return text;
}

// What ffprobe reads in a file: the container, and the first stream of
// the kind given ("v" or "a"), its frames counted by decoding; key=value
// pairs (codec_name, width, height, r_frame_rate, nb_read_frames,
// format_name, duration), empty when ffprobe finds no such stream.
inline std::map<std::string, std::string> FfProbe(const std::string& path, const char* kind) {
  const std::string command = std::string("ffprobe -v error -count_frames -select_streams ") + kind +
                              ":0 -show_entries stream=codec_name,width,height,r_frame_rate,nb_read_frames"
                              ":format=format_name,duration -of default=nw=1 '" + path + "' 2>&1";
  std::map<std::string, std::string> values;
  std::FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return values;
  char line[512];
  while (std::fgets(line, sizeof line, pipe)) {
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    const std::size_t equals = text.find('=');
    if (equals != std::string::npos) values[text.substr(0, equals)] = text.substr(equals + 1);
  }
  pclose(pipe);
  return values;
}

// The decoded frames of a file: how many, their size, the centre pixel of
// each (blue, green, red) and whether the file read to its end.
struct DecodedFile {
  int frames = 0;
  int width = 0;
  int height = 0;
  bool complete = false;
  std::vector<std::array<int, 3>> centres;
  bool hasAudio = false;
};

inline DecodedFile Decode(const std::string& path) {
  DecodedFile back;
  const std::string description = "filesrc location=\"" + path +
                                  "\" ! matroskademux ! vp8dec ! videoconvert ! video/x-raw,format=BGR ! "
                                  "appsink name=sink sync=false";
  GstElement* pipeline = gst_parse_launch(description.c_str(), nullptr);
  if (!pipeline) return back;
  GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  for (;;) {
    GstSample* sample = nullptr;
    g_signal_emit_by_name(sink, "try-pull-sample", static_cast<GstClockTime>(10 * GST_SECOND), &sample);
    if (!sample) break;
    const GstStructure* structure = gst_caps_get_structure(gst_sample_get_caps(sample), 0);
    gst_structure_get_int(structure, "width", &back.width);
    gst_structure_get_int(structure, "height", &back.height);
    GstMapInfo map;
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    if (back.width > 0 && back.height > 0 && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
      const std::size_t stride = (static_cast<std::size_t>(back.width) * 3 + 3) / 4 * 4;
      const std::size_t at = static_cast<std::size_t>(back.height / 2) * stride + static_cast<std::size_t>(back.width / 2) * 3;
      if (at + 2 < map.size) back.centres.push_back({map.data[at], map.data[at + 1], map.data[at + 2]});
      gst_buffer_unmap(buffer, &map);
    }
    ++back.frames;
    gst_sample_unref(sample);
  }
  GstBus* bus = gst_element_get_bus(pipeline);
  GstMessage* end =
      gst_bus_timed_pop_filtered(bus, GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  back.complete = end && GST_MESSAGE_TYPE(end) == GST_MESSAGE_EOS;
  if (end) gst_message_unref(end);
  gst_object_unref(bus);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(sink);
  gst_object_unref(pipeline);
  return back;
}

}  // namespace corvalind::testing
