// corvalindcamsrc: the Corvalind virtual camera as a GStreamer live source.
#pragma once

#include <gst/base/gstpushsrc.h>
#include <gst/gst.h>

G_BEGIN_DECLS

#define GST_TYPE_CORVALIND_CAM_SRC (gst_corvalind_cam_src_get_type())
G_DECLARE_FINAL_TYPE(GstCorvalindCamSrc, gst_corvalind_cam_src, GST, CORVALIND_CAM_SRC, GstPushSrc)

// The caps the camera offers with the settings of this moment (one fixed
// BGR format); the caller owns the result.
GstCaps* gst_corvalind_cam_src_current_caps(void);

G_END_DECLS
