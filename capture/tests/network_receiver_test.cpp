// The transmitter into the studio's receiver element: what a machine at the
// other end sees with `corvalindnetsrc ! ...` is the program picture, turned
// top-down, over both protocols, raw and compressed.
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "capture/network_transmitter.h"
#include "platform/output_block.h"

namespace corvalind {
namespace {

// 322 pixels: rows of 966 bytes, which GStreamer pads to 968.
constexpr int kWidth = 322, kHeight = 240;
constexpr uint32_t kFrameBytes = kWidth * kHeight * 3;

TEST(NetworkReceiver, ShowsTheProgramOverEveryProtocol) {
  std::vector<uint8_t> picture(kFrameBytes);
  std::mt19937 random(5);
  for (uint8_t& b : picture) b = static_cast<uint8_t>(random() % 8);  // compressible yet varied
  const std::string name = "CorvalindNetRecvTest_" + std::to_string(getpid());
  OutputBlock block;
  std::string reason;
  bool existed = false;
  ASSERT_TRUE(CreateOutputBlock(block, name, kFrameBytes, &existed, &reason)) << reason;
  PublishPicture(block, picture.data(), kFrameBytes, 1);

  const struct {
    const char* protocol;
    bool compress;
  } cases[] = {{"tcp", false}, {"tcp", true}, {"udp", false}, {"udp", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.protocol) + (c.compress ? " compressed" : " raw"));
    const std::string description = std::string("corvalindnetsrc name=net port=0 address=127.0.0.1 protocol=") +
                                    c.protocol + " width=" + std::to_string(kWidth) +
                                    " height=" + std::to_string(kHeight) + " ! appsink name=sink sync=false";
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
    ASSERT_NE(pipeline, nullptr) << (error ? error->message : "");
    ASSERT_NE(gst_element_set_state(pipeline, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
    GstElement* net = gst_bin_get_by_name(GST_BIN(pipeline), "net");
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    guint port = 0;
    g_object_get(net, "bound-port", &port, nullptr);
    ASSERT_NE(port, 0u);

    NetworkTransmitter transmitter(name, kFrameBytes, 25, 40, {});
    TransmitterSettings settings;
    settings.host = "127.0.0.1";
    settings.port = static_cast<int>(port);
    settings.tcp = std::strcmp(c.protocol, "tcp") == 0;
    settings.autoSize = false;
    settings.packetSize = 4096;
    settings.compress = c.compress;
    ASSERT_TRUE(transmitter.Start(settings));

    GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 20 * GST_SECOND);
    ASSERT_NE(sample, nullptr);
    GstVideoInfo info;
    ASSERT_TRUE(gst_video_info_from_caps(&info, gst_sample_get_caps(sample)));
    EXPECT_EQ(GST_VIDEO_INFO_FORMAT(&info), GST_VIDEO_FORMAT_BGR);
    EXPECT_EQ(GST_VIDEO_INFO_WIDTH(&info), kWidth);
    GstVideoFrame frame;
    ASSERT_TRUE(gst_video_frame_map(&frame, &info, gst_sample_get_buffer(sample), GST_MAP_READ));
    const auto* pixels = static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0));
    const int stride = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0);
    int wrongRows = 0;
    for (int row = 0; row < kHeight; ++row) {
      // The block's rows run bottom-up.
      const uint8_t* expected = picture.data() + static_cast<std::size_t>(kHeight - 1 - row) * kWidth * 3;
      if (std::memcmp(pixels + static_cast<std::ptrdiff_t>(row) * stride, expected, kWidth * 3) != 0) ++wrongRows;
    }
    EXPECT_EQ(wrongRows, 0);
    gst_video_frame_unmap(&frame);
    gst_sample_unref(sample);
    transmitter.Stop();
    guint64 dropped = 0;
    g_object_get(net, "packets-dropped", &dropped, nullptr);
    EXPECT_EQ(dropped, 0u);
    gst_object_unref(sink);
    gst_object_unref(net);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
  }
  ReleaseOutputBlock(block);
}

}  // namespace
}  // namespace corvalind
