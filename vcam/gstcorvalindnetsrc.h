// corvalindnetsrc: the studio's network feed received as a GStreamer live
// source.
#pragma once

#include <gst/base/gstpushsrc.h>
#include <gst/gst.h>

G_BEGIN_DECLS

#define GST_TYPE_CORVALIND_NET_SRC (gst_corvalind_net_src_get_type())
G_DECLARE_FINAL_TYPE(GstCorvalindNetSrc, gst_corvalind_net_src, GST, CORVALIND_NET_SRC, GstPushSrc)

// How the feed travels: one datagram per packet and "END" after each
// frame, or one stream of packets.
typedef enum {
  GST_CORVALIND_NET_PROTOCOL_UDP = 0,
  GST_CORVALIND_NET_PROTOCOL_TCP = 1,
} GstCorvalindNetProtocol;

#define GST_TYPE_CORVALIND_NET_PROTOCOL (gst_corvalind_net_protocol_get_type())
GType gst_corvalind_net_protocol_get_type(void);

G_END_DECLS
