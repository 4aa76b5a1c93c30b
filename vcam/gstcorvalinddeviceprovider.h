// The device provider that lists the Corvalind virtual camera as a
// Video/Source device named "Corvalind Camera".
#pragma once

#include <gst/gst.h>

G_BEGIN_DECLS

#define GST_TYPE_CORVALIND_DEVICE_PROVIDER (gst_corvalind_device_provider_get_type())
G_DECLARE_FINAL_TYPE(GstCorvalindDeviceProvider, gst_corvalind_device_provider, GST,
                     CORVALIND_DEVICE_PROVIDER, GstDeviceProvider)

#define GST_TYPE_CORVALIND_DEVICE (gst_corvalind_device_get_type())
G_DECLARE_FINAL_TYPE(GstCorvalindDevice, gst_corvalind_device, GST, CORVALIND_DEVICE, GstDevice)

G_END_DECLS
