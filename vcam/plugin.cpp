// The corvalindcam plugin: the corvalindcamsrc element, the device
// provider that lists "Corvalind Camera", and the network feed's receiver
// corvalindnetsrc.
#include <gst/gst.h>

#include "platform/version.h"
#include "vcam/gstcorvalindcamsrc.h"
#include "vcam/gstcorvalinddeviceprovider.h"
#include "vcam/gstcorvalindnetsrc.h"

#define PACKAGE "corvalind"
#define VERSION CORVALIND_VERSION_TEXT  // the project version, shown by gst-inspect-1.0

static gboolean plugin_init(GstPlugin* plugin) {
  return gst_element_register(plugin, "corvalindcamsrc", GST_RANK_NONE, GST_TYPE_CORVALIND_CAM_SRC) &&
         gst_device_provider_register(plugin, "corvalinddeviceprovider", GST_RANK_PRIMARY,
                                      GST_TYPE_CORVALIND_DEVICE_PROVIDER) &&
         gst_element_register(plugin, "corvalindnetsrc", GST_RANK_NONE, GST_TYPE_CORVALIND_NET_SRC);
}

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, corvalindcam,
                  "The Corvalind virtual camera", plugin_init, VERSION, "Proprietary", "Corvalind",
                  "https://corvalind.invalid/")
