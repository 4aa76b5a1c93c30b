// gst-device-monitor-1.0 Video/Source lists "Corvalind Camera"; its
// element is corvalindcamsrc.
#include "vcam/gstcorvalinddeviceprovider.h"

#include "vcam/gstcorvalindcamsrc.h"

struct _GstCorvalindDevice {
  GstDevice parent;
};

G_DEFINE_TYPE(GstCorvalindDevice, gst_corvalind_device, GST_TYPE_DEVICE)

static GstElement* gst_corvalind_device_create_element(GstDevice*, const gchar* name) {
  return gst_element_factory_make("corvalindcamsrc", name);
}

static void gst_corvalind_device_class_init(GstCorvalindDeviceClass* klass) {
  GST_DEVICE_CLASS(klass)->create_element = gst_corvalind_device_create_element;
}

static void gst_corvalind_device_init(GstCorvalindDevice*) {}

struct _GstCorvalindDeviceProvider {
  GstDeviceProvider parent;
};

G_DEFINE_TYPE(GstCorvalindDeviceProvider, gst_corvalind_device_provider, GST_TYPE_DEVICE_PROVIDER)

static GList* gst_corvalind_device_provider_probe(GstDeviceProvider*) {
  GstCaps* caps = gst_corvalind_cam_src_current_caps();
  GstStructure* properties = gst_structure_new("corvalind-device", "device.api", G_TYPE_STRING,
                                               "corvalind", nullptr);
  GstDevice* device = GST_DEVICE(g_object_new(GST_TYPE_CORVALIND_DEVICE, "display-name",
                                              "Corvalind Camera", "device-class", "Video/Source",
                                              "caps", caps, "properties", properties, nullptr));
  gst_caps_unref(caps);
  gst_structure_free(properties);
  return g_list_append(nullptr, gst_object_ref_sink(device));
}

static void gst_corvalind_device_provider_class_init(GstCorvalindDeviceProviderClass* klass) {
  GstDeviceProviderClass* provider_class = GST_DEVICE_PROVIDER_CLASS(klass);
  provider_class->probe = gst_corvalind_device_provider_probe;
  gst_device_provider_class_set_static_metadata(provider_class, "Corvalind Camera Provider",
                                                "Source/Video", "Lists the Corvalind virtual camera",
                                                "Corvalind developers");
}

static void gst_corvalind_device_provider_init(GstCorvalindDeviceProvider*) {}
