#include "player/tests/fake_card.h"

#include <gst/base/gstbasesink.h>

#include <mutex>

namespace corvalind::testing {
namespace {

// What the card does and saw, under a lock of the test's own, which the
// race detector sees.
struct CardState {
  std::mutex lock;
  CardBehaviour behaviour = CardBehaviour::kWorks;
  int failAfter = 0;
  CardRecord record;
};

CardState& State() {
  static CardState state;
  return state;
}

}  // namespace

struct FakeCard {
  GstBaseSink parent;
};

struct FakeCardClass {
  GstBaseSinkClass parent_class;
};

G_DEFINE_TYPE(FakeCard, fake_card, GST_TYPE_BASE_SINK)

static GstStaticPadTemplate fakeCardSinkTemplate =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS("video/x-raw"));

// The camera stamps each picture on its own thread, and the picture
// reaches the card through GStreamer's locks, which the race detector
// cannot see. This probe on the camera's output takes the card's lock after
// the stamping, so the card, reading the stamp under that lock, is seen to
// come after it.
static GstPadProbeReturn HandOver(GstPad*, GstPadProbeInfo*, gpointer) {
  std::lock_guard<std::mutex> guard(State().lock);
  return GST_PAD_PROBE_OK;
}

static void WatchCamera(GstBaseSink* sink) {
  GstObject* parent = gst_object_get_parent(GST_OBJECT(sink));
  if (parent == nullptr) return;  // opened on its own
  if (GST_IS_BIN(parent)) {
    if (GstElement* camera = gst_bin_get_by_name(GST_BIN(parent), "Orvik Corvalind")) {
      if (GstPad* pad = gst_element_get_static_pad(camera, "src")) {
        gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, &HandOver, nullptr, nullptr);
        gst_object_unref(pad);
      }
      gst_object_unref(camera);
    }
  }
  gst_object_unref(parent);
}

static gboolean FakeCardStart(GstBaseSink* sink) {
  WatchCamera(sink);
  std::unique_lock<std::mutex> guard(State().lock);
  ++State().record.opens;
  // The player opens the card once on its own to see whether it answers,
  // then again inside the graph.
  const bool refuse = State().behaviour == CardBehaviour::kFailsInGraph && State().record.opens >= 2;
  guard.unlock();
  if (refuse) {
    GST_ELEMENT_ERROR(sink, RESOURCE, OPEN_WRITE, ("The card is busy"), (nullptr));
    return FALSE;
  }
  return TRUE;
}

static gboolean FakeCardStop(GstBaseSink*) {
  std::lock_guard<std::mutex> guard(State().lock);
  ++State().record.closes;
  return TRUE;
}

static GstFlowReturn FakeCardRender(GstBaseSink* sink, GstBuffer* buffer) {
  // Read under the lock the camera's probe (HandOver) took after stamping.
  std::unique_lock<std::mutex> guard(State().lock);
  const GstClockTime stamp = GST_BUFFER_PTS(buffer);
  const bool fail = State().behaviour == CardBehaviour::kFailsWhilePlaying &&
                    static_cast<int>(State().record.shown.size()) >= State().failAfter;
  if (!fail) State().record.shown.push_back(stamp);
  guard.unlock();
  if (fail) {
    GST_ELEMENT_ERROR(sink, RESOURCE, WRITE, ("The card stopped"), (nullptr));
    return GST_FLOW_ERROR;
  }
  return GST_FLOW_OK;
}

static void fake_card_class_init(FakeCardClass* klass) {
  GstElementClass* element = GST_ELEMENT_CLASS(klass);
  gst_element_class_set_static_metadata(element, "Test card", "Sink/Video", "Stands in for a DeckLink card",
                                        "Corvalind");
  gst_element_class_add_static_pad_template(element, &fakeCardSinkTemplate);
  GstBaseSinkClass* base = GST_BASE_SINK_CLASS(klass);
  base->start = FakeCardStart;
  base->stop = FakeCardStop;
  base->render = FakeCardRender;
}

static void fake_card_init(FakeCard*) {}

bool RegisterFakeCard() {
  if (!gst_element_register(nullptr, "decklinkvideosink", GST_RANK_NONE, fake_card_get_type())) return false;
  GstElement* probe = gst_element_factory_make("decklinkvideosink", nullptr);
  const bool ours = probe != nullptr && G_TYPE_CHECK_INSTANCE_TYPE(probe, fake_card_get_type());
  if (probe != nullptr) gst_object_unref(gst_object_ref_sink(probe));
  return ours;
}

void ResetCard(CardBehaviour behaviour, int failAfter) {
  std::lock_guard<std::mutex> guard(State().lock);
  State().behaviour = behaviour;
  State().failAfter = failAfter;
  State().record = CardRecord{};
}

CardRecord CardSeen() {
  std::lock_guard<std::mutex> guard(State().lock);
  return State().record;
}

}  // namespace corvalind::testing
