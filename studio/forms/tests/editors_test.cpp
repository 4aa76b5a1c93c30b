// The scene and zone editor dialogs, driven through their real widgets on
// the offscreen platform: what they show, what OK stores, what they refuse.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "studio/forms/scene_editor_dialog.h"
#include "studio/forms/zone_editor_dialog.h"
#include "test_support/modal_windows.h"
#include "test_support/test_home.h"

namespace corvalind {
namespace {

using testing::VisibleWindow;
using testing::WithModal;

template <typename T>
T* Find(QWidget& parent, const char* id) {
  T* widget = parent.findChild<T*>(QString::fromLatin1(id));
  if (widget == nullptr) {
    ADD_FAILURE() << "no control with id " << id;
    throw std::runtime_error("missing control");
  }
  return widget;
}

QStringList ComboTexts(const QComboBox& combo) {
  QStringList texts;
  for (int i = 0; i < combo.count(); ++i) texts << combo.itemText(i);
  return texts;
}

QStringList LabelTexts(QWidget& parent) {
  QStringList texts;
  for (const QLabel* label : parent.findChildren<QLabel*>()) texts << label->text();
  return texts;
}

// The controls of one zone editor, by id.
struct ZoneEditorView {
  explicit ZoneEditorView(QWidget& dlg)
      : source(Find<QComboBox>(dlg, "1024")),
        position(Find<QComboBox>(dlg, "1025")),
        w(Find<QLineEdit>(dlg, "1026")),
        h(Find<QLineEdit>(dlg, "1027")),
        x(Find<QLineEdit>(dlg, "1028")),
        y(Find<QLineEdit>(dlg, "1029")),
        alpha(Find<QLineEdit>(dlg, "1030")),
        useKey(Find<QCheckBox>(dlg, "1068")),
        keep(Find<QCheckBox>(dlg, "1069")),
        ok(Find<QPushButton>(dlg, "1")),
        cancel(Find<QPushButton>(dlg, "2")) {}

  QComboBox* source;
  QComboBox* position;
  QLineEdit* w;
  QLineEdit* h;
  QLineEdit* x;
  QLineEdit* y;
  QLineEdit* alpha;
  QCheckBox* useKey;
  QCheckBox* keep;
  QPushButton* ok;
  QPushButton* cancel;
};

struct SceneEditorView {
  explicit SceneEditorView(QWidget& dlg)
      : name(Find<QLineEdit>(dlg, "1018")),
        table(Find<QTreeWidget>(dlg, "1022")),
        newButton(Find<QPushButton>(dlg, "1023")),
        editButton(Find<QPushButton>(dlg, "1024")),
        deleteButton(Find<QPushButton>(dlg, "1025")),
        ok(Find<QPushButton>(dlg, "1")),
        cancel(Find<QPushButton>(dlg, "2")) {}

  QStringList row(int index) const {
    QStringList texts;
    const QTreeWidgetItem* item = table->topLevelItem(index);
    if (item == nullptr) return texts;
    for (int c = 0; c < table->columnCount(); ++c) texts << item->text(c);
    return texts;
  }
  int rowCount() const { return table->topLevelItemCount(); }
  void select(int index) const {
    table->clearSelection();
    table->topLevelItem(index)->setSelected(true);
  }
  int selected() const {
    const QList<QTreeWidgetItem*> items = table->selectedItems();
    return items.size() == 1 ? table->indexOfTopLevelItem(items.front()) : -1;
  }

  QLineEdit* name;
  QTreeWidget* table;
  QPushButton* newButton;
  QPushButton* editButton;
  QPushButton* deleteButton;
  QPushButton* ok;
  QPushButton* cancel;
};


bool WithZoneEditor(QPushButton* button, const std::function<void(ZoneEditorView&)>& drive) {
  return WithModal<CZoneEditorDlg>([button] { button->click(); },
                                   [&](CZoneEditorDlg& dlg) {
                                     ZoneEditorView view(dlg);
                                     drive(view);
                                   });
}

VideoZone MakeZone(int32_t placement, int32_t sourceId, float w, float h, float x, float y, uint8_t alpha,
                   bool chroma, bool keep) {
  VideoZone zone = corvalind::MakeZone(placement, sourceId, w, h, x, y);
  zone.alpha = alpha;
  zone.chroma = chroma;
  zone.keepAspect = keep;
  return zone;
}

// Every field OK may write, and those it must leave alone.
void ExpectSameZone(const VideoZone& actual, const VideoZone& expected) {
  EXPECT_TRUE(actual.SameLayout(expected));
  EXPECT_EQ(actual.lastSerial, expected.lastSerial);
}

// --- Zone editor ---------------------------------------------------------

TEST(ZoneEditor, ShowsTheZoneWithEveryListEntryAndLabel) {
  VideoZone zone = MakeZone(VIDPOS_FREE, 4, 33.3333f, 50.0f, -12.5f, 10.0f, 77, true, false);
  CZoneEditorDlg dlg(zone);
  ZoneEditorView view(dlg);

  EXPECT_EQ(dlg.windowTitle(), "Video Zone Editor");
  EXPECT_EQ(ComboTexts(*view.source), QStringList({"id:1", "id:2", "id:3", "id:4", "id:5", "id:6", "id:7",
                                                   "id:8", "id:9", "id:10"}));
  EXPECT_EQ(ComboTexts(*view.position), QStringList({"Fullscreen", "Fullscreen(full)", "Center", "Top Left",
                                                     "Top Right", "Bottom Left", "Bottom Right", "Free"}));
  for (const char* label : {"Source ID", "Position", "W(%)", "H(%)", "X(%)", "Y(%)", "Alpha", "Chroma Key",
                            "Aspect Ratio"}) {
    EXPECT_TRUE(LabelTexts(dlg).contains(QString::fromLatin1(label))) << label;
  }
  EXPECT_EQ(view.useKey->text(), "use key");
  EXPECT_EQ(view.keep->text(), "keep");
  EXPECT_EQ(view.ok->text(), "OK");
  EXPECT_EQ(view.cancel->text(), "Cancel");

  EXPECT_EQ(view.source->currentText(), "id:5");
  EXPECT_EQ(view.position->currentText(), "Free");
  EXPECT_EQ(view.w->text(), "33.3");
  EXPECT_EQ(view.h->text(), "50.0");
  EXPECT_EQ(view.x->text(), "-12.5");
  EXPECT_EQ(view.y->text(), "10.0");
  EXPECT_EQ(view.alpha->text(), "77");
  EXPECT_TRUE(view.useKey->isChecked());
  EXPECT_FALSE(view.keep->isChecked());
  EXPECT_FALSE(view.alpha->isEnabled()) << "a keyed zone opens with the alpha edit disabled";
}

TEST(ZoneEditor, OkWritesEachControlToItsOwnField) {
  VideoZone zone = MakeZone(VIDPOS_CENTER, 0, 1, 2, 3, 4, 5, false, true);
  zone.widthPx = 640;
  zone.heightPx = 360;
  zone.posXPx = 32;
  zone.posYPx = 16;
  zone.lastSerial = 99;
  CZoneEditorDlg dlg(zone);
  ZoneEditorView view(dlg);
  view.source->setCurrentIndex(6);
  view.position->setCurrentIndex(VIDPOS_BOTTOM_LEFT);
  view.w->setText("11");
  view.h->setText("22");
  view.x->setText("33");
  view.y->setText("44");
  view.alpha->setText("55");
  view.useKey->click();
  view.keep->click();
  view.ok->click();

  EXPECT_EQ(dlg.result(), QDialog::Accepted);
  VideoZone expected = MakeZone(VIDPOS_BOTTOM_LEFT, 6, 11, 22, 33, 44, 55, true, false);
  expected.widthPx = 640;  // pixel fields belong to StoreScene
  expected.heightPx = 360;
  expected.posXPx = 32;
  expected.posYPx = 16;
  expected.lastSerial = 99;
  ExpectSameZone(zone, expected);
}

TEST(ZoneEditor, CancelLeavesTheZoneUnchanged) {
  const VideoZone original = MakeZone(VIDPOS_FREE, 3, 40, 30, 20, 10, 128, false, true);
  VideoZone zone = original;
  CZoneEditorDlg dlg(zone);
  ZoneEditorView view(dlg);
  view.source->setCurrentIndex(9);
  view.position->setCurrentIndex(VIDPOS_CENTER);
  for (QLineEdit* edit : {view.w, view.h, view.x, view.y, view.alpha}) edit->setText("7");
  view.useKey->click();
  view.keep->click();
  view.cancel->click();

  EXPECT_EQ(dlg.result(), QDialog::Rejected);
  ExpectSameZone(zone, original);
}

TEST(ZoneEditor, PercentEntriesStoreTheLeadingNumberUpTo100) {
  struct Case {
    QString text;
    float stored;
  };
  const std::vector<Case> cases = {
      {"150", 100.0f},
      {"100", 100.0f},
      {"100.00001", 100.0f},
      {"-20", -20.0f},
      {"-150", -150.0f},  // no lower bound in ordinary use
      {"12.345", 12.345f},
      {"0", 0.0f},
      {"abc", 0.0f},
      {"", 0.0f},
      {"  7.5 %", 7.5f},
      {"5,5", 5.0f},  // a decimal point whatever the user's locale
      {"1e1", 10.0f},
      {"0x10", 16.0f},
      {"nan", 0.0f},
      {"inf", 100.0f},
      {"-1e30", kMinZonePercent},
      {QString(99, u' ') + "55", 5.0f},  // only the first 100 characters count
      {QString(100, u' ') + "5", 0.0f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(("text \"" + c.text + "\"").toStdString());
    // Free, so all four edits are enabled; the disabled case has its own test.
    VideoZone zone = MakeZone(VIDPOS_FREE, 0, 50, 50, 50, 50, 0, false, true);
    CZoneEditorDlg dlg(zone);
    ZoneEditorView view(dlg);
    for (QLineEdit* edit : {view.w, view.h, view.x, view.y}) edit->setText(c.text);
    view.ok->click();
    EXPECT_EQ(zone.widthFrac, c.stored);
    EXPECT_EQ(zone.heightFrac, c.stored);
    EXPECT_EQ(zone.posXFrac, c.stored);
    EXPECT_EQ(zone.posYFrac, c.stored);
  }
}

TEST(ZoneEditor, DisabledPercentEditsAreStillRead) {
  VideoZone zone = MakeZone(VIDPOS_FULLSCREEN, 0, 100, 100, 0, 0, 0, false, true);
  CZoneEditorDlg dlg(zone);
  ZoneEditorView view(dlg);
  ASSERT_FALSE(view.w->isEnabled());
  ASSERT_FALSE(view.x->isEnabled());
  view.w->setText("25");
  view.h->setText("35");
  view.x->setText("45");
  view.y->setText("55");
  view.ok->click();
  EXPECT_EQ(zone.widthFrac, 25.0f);
  EXPECT_EQ(zone.heightFrac, 35.0f);
  EXPECT_EQ(zone.posXFrac, 45.0f);
  EXPECT_EQ(zone.posYFrac, 55.0f);
}

TEST(ZoneEditor, UntouchedPercentKeepsItsFinerValue) {
  // The edits show one decimal; confirming without a change must not
  // round 12.345 to 12.3. The upper bound still holds.
  VideoZone zone = MakeZone(VIDPOS_FREE, 0, 150.0f, 12.345f, -33.33f, 0.04f, 0, false, true);
  CZoneEditorDlg dlg(zone);
  ZoneEditorView view(dlg);
  EXPECT_EQ(view.h->text(), "12.3");
  EXPECT_EQ(view.y->text(), "0.0");
  view.ok->click();
  EXPECT_EQ(zone.widthFrac, 100.0f);
  EXPECT_EQ(zone.heightFrac, 12.345f);
  EXPECT_EQ(zone.posXFrac, -33.33f);
  EXPECT_EQ(zone.posYFrac, 0.04f);
}

TEST(ZoneEditor, EditedPercentIsReadFromTheText) {
  VideoZone zone = MakeZone(VIDPOS_FREE, 0, 12.345f, 50, 0, 0, 0, false, true);
  CZoneEditorDlg dlg(zone);
  ZoneEditorView view(dlg);
  view.w->setText("12.3 ");  // differs from the shown "12.3"
  view.ok->click();
  EXPECT_EQ(zone.widthFrac, 12.3f);
}

TEST(ZoneEditor, AlphaEntriesStoreAByteSaturatedAtBothEnds) {
  struct Case {
    QString text;
    int stored;
  };
  const std::vector<Case> cases = {
      {"300", 255}, {"256", 255}, {"255", 255}, {"17", 17},  {"0", 0},   {"007", 7},
      {"", 0},      {"abc", 0},   {" 42x", 42}, {"-5", 0},   {"-300", 0}, {"99999999999999999999", 255},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(("text \"" + c.text + "\"").toStdString());
    VideoZone zone = MakeZone(VIDPOS_CENTER, 0, 50, 50, 0, 0, 200, false, true);
    CZoneEditorDlg dlg(zone);
    ZoneEditorView view(dlg);
    view.alpha->setText(c.text);  // as a paste would, past the digits-only filter
    view.ok->click();
    EXPECT_EQ(zone.alpha, c.stored);
  }
}

TEST(ZoneEditor, AlphaEditAcceptsOnlyDigitsWhenTyped) {
  VideoZone zone = MakeZone(VIDPOS_CENTER, 0, 50, 50, 0, 0, 0, false, true);
  CZoneEditorDlg dlg(zone);
  ZoneEditorView view(dlg);
  view.alpha->clear();
  QTest::keyClicks(view.alpha, "-1a2");
  EXPECT_EQ(view.alpha->text(), "12");
}

TEST(ZoneEditor, UseKeyDisablesAlphaWhichIsStillRead) {
  VideoZone zone = MakeZone(VIDPOS_CENTER, 0, 50, 50, 0, 0, 10, false, true);
  CZoneEditorDlg dlg(zone);
  ZoneEditorView view(dlg);
  ASSERT_TRUE(view.alpha->isEnabled());
  view.alpha->setText("99");
  view.useKey->click();
  EXPECT_FALSE(view.alpha->isEnabled());
  view.useKey->click();
  EXPECT_TRUE(view.alpha->isEnabled());
  view.useKey->click();
  view.ok->click();
  EXPECT_TRUE(zone.chroma);
  EXPECT_EQ(zone.alpha, 99);
}

TEST(ZoneEditor, PositionRuleOnOpeningAndOnChange) {
  struct Case {
    int placement;
    bool sizeEnabled;
    bool positionEnabled;
  };
  const Case cases[] = {
      {VIDPOS_FULLSCREEN, false, false}, {VIDPOS_FULLSCREEN_NAR, false, false},
      {VIDPOS_CENTER, true, false},      {VIDPOS_TOP_LEFT, true, false},
      {VIDPOS_TOP_RIGHT, true, false},   {VIDPOS_BOTTOM_LEFT, true, false},
      {VIDPOS_BOTTOM_RIGHT, true, false}, {VIDPOS_FREE, true, true},
  };
  const auto expectRule = [](const ZoneEditorView& view, const Case& c) {
    EXPECT_EQ(view.w->isEnabled(), c.sizeEnabled);
    EXPECT_EQ(view.h->isEnabled(), c.sizeEnabled);
    EXPECT_EQ(view.x->isEnabled(), c.positionEnabled);
    EXPECT_EQ(view.y->isEnabled(), c.positionEnabled);
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("placement " + std::to_string(c.placement));
    VideoZone opened = MakeZone(c.placement, 0, 50, 50, 0, 0, 0, false, true);
    CZoneEditorDlg openedDlg(opened);
    expectRule(ZoneEditorView(openedDlg), c);

    // From the opposite kind of placement, so every edit has to change.
    VideoZone changed = MakeZone(c.placement == VIDPOS_FREE ? VIDPOS_FULLSCREEN : VIDPOS_FREE, 0, 50, 50, 0, 0,
                                 0, false, true);
    CZoneEditorDlg changedDlg(changed);
    ZoneEditorView view(changedDlg);
    view.position->setCurrentIndex(c.placement);
    expectRule(view, c);
    view.ok->click();
    EXPECT_EQ(changed.placement, c.placement);
  }
}

TEST(ZoneEditor, OutOfRangeSourceOrPlacementOpensOnTheFirstEntry) {
  struct Case {
    int32_t sourceId;
    int32_t placement;
    int32_t storedSource;
    int32_t storedPlacement;
  };
  const Case cases[] = {
      {-1, VIDPOS_CENTER, 0, VIDPOS_CENTER},
      {10, VIDPOS_CENTER, 0, VIDPOS_CENTER},
      {1000, VIDPOS_CENTER, 0, VIDPOS_CENTER},
      {9, VIDPOS_CENTER, 9, VIDPOS_CENTER},
      {3, -1, 3, VIDPOS_FULLSCREEN},
      {3, 8, 3, VIDPOS_FULLSCREEN},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("source " + std::to_string(c.sourceId) + ", placement " + std::to_string(c.placement));
    VideoZone zone = MakeZone(c.placement, c.sourceId, 50, 50, 0, 0, 0, false, true);
    CZoneEditorDlg dlg(zone);
    ZoneEditorView view(dlg);
    EXPECT_EQ(view.source->currentIndex(), c.storedSource);
    EXPECT_EQ(view.position->currentIndex(), c.storedPlacement);
    view.ok->click();
    EXPECT_EQ(zone.sourceId, c.storedSource);
    EXPECT_EQ(zone.placement, c.storedPlacement);
  }
}

// --- Scene editor --------------------------------------------------------

class SceneEditor : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = SetEditorMessageHandler([this](QWidget*, const QString& text) { messages_ << text; });
  }
  void TearDown() override { SetEditorMessageHandler(previous_); }

  QStringList messages_;

 private:
  EditorMessageHandler previous_;
};

const std::vector<VideoZone> kThreeZones = {
    MakeZone(VIDPOS_FULLSCREEN, 0, 100, 100, 0, 0, 0, false, true),
    MakeZone(VIDPOS_CENTER, 1, 50, 50, 0, 0, 64, false, true),
    MakeZone(VIDPOS_FREE, 2, 25, 25, 10, 10, 0, true, false),
};

TEST_F(SceneEditor, TableHasTheNineCentredColumnsAndSelectsWholeRows) {
  CScreneEditorDlg dlg({}, "Scene");
  SceneEditorView view(dlg);
  EXPECT_EQ(dlg.windowTitle(), "Scene Editor");
  EXPECT_TRUE(LabelTexts(dlg).contains("Scene Name:"));
  ASSERT_NE(dlg.findChild<QGroupBox*>(), nullptr);
  EXPECT_EQ(dlg.findChild<QGroupBox*>()->title(), "Video Zones");
  EXPECT_EQ(view.newButton->text(), "New");
  EXPECT_EQ(view.editButton->text(), "Edit");
  EXPECT_EQ(view.deleteButton->text(), "Delete");
  EXPECT_EQ(view.ok->text(), "OK");
  EXPECT_EQ(view.cancel->text(), "Cancel");

  const QStringList titles = {"Source",   "Position", "Width(%)",   "Height(%)", "Pos X(%)",
                              "Pos Y(%)", "Alpha",    "Chroma Key", "Ratio"};
  const int widths[] = {50, 80, 65, 65, 60, 60, 50, 80, 60};
  ASSERT_EQ(view.table->columnCount(), titles.size());
  for (int c = 0; c < titles.size(); ++c) {
    EXPECT_EQ(view.table->headerItem()->text(c), titles[c]);
    EXPECT_EQ(view.table->columnWidth(c), widths[c]) << titles[c].toStdString();
  }
  EXPECT_EQ(static_cast<int>(view.table->header()->defaultAlignment() & Qt::AlignHorizontal_Mask),
            static_cast<int>(Qt::AlignHCenter));
  EXPECT_EQ(view.table->selectionMode(), QAbstractItemView::SingleSelection);
  EXPECT_EQ(view.table->selectionBehavior(), QAbstractItemView::SelectRows);
  EXPECT_EQ(view.name->text(), "Scene");
  EXPECT_EQ(view.rowCount(), 0);
}

TEST_F(SceneEditor, RowsMirrorTheZonesInOrder) {
  const float posY[kZonePlacementCount] = {0.0f, 0.04f, 0.06f, 33.33f, 12.345f, 66.66f, -7.27f, 99.94f};
  std::vector<VideoZone> zones;
  for (int p = 0; p < kZonePlacementCount; ++p) {
    zones.push_back(MakeZone(p, 9 - p, 100.0f - p, 12.345f, -20.0f, posY[p], static_cast<uint8_t>(p * 36),
                             p % 2 == 1, p % 3 != 0));
  }
  CScreneEditorDlg dlg(zones, "All placements");
  SceneEditorView view(dlg);
  const QStringList expected[] = {
      {"id:10", "fullscreen", "100.0", "12.3", "-20.0", "0.0", "0", "off", "stretch"},
      {"id:9", "fullscreen(full)", "99.0", "12.3", "-20.0", "0.0", "36", "on", "keep"},
      {"id:8", "center", "98.0", "12.3", "-20.0", "0.1", "72", "off", "keep"},
      {"id:7", "top left", "97.0", "12.3", "-20.0", "33.3", "108", "on", "stretch"},
      {"id:6", "top right", "96.0", "12.3", "-20.0", "12.3", "144", "off", "keep"},
      {"id:5", "bottom left", "95.0", "12.3", "-20.0", "66.7", "180", "on", "keep"},
      {"id:4", "bottom right", "94.0", "12.3", "-20.0", "-7.3", "216", "off", "stretch"},
      {"id:3", "free", "93.0", "12.3", "-20.0", "99.9", "252", "on", "keep"},
  };
  ASSERT_EQ(view.rowCount(), kZonePlacementCount);
  for (int r = 0; r < kZonePlacementCount; ++r) {
    EXPECT_EQ(view.row(r), expected[r]) << "row " << r;
    for (int c = 0; c < view.table->columnCount(); ++c) {
      EXPECT_EQ(static_cast<int>(view.table->topLevelItem(r)->textAlignment(c) & Qt::AlignHorizontal_Mask),
                static_cast<int>(Qt::AlignHCenter));
    }
  }
  EXPECT_EQ(view.selected(), -1) << "nothing is selected on opening";
}

TEST_F(SceneEditor, NewZoneOpensWithTheDefaultsAndIsAppended) {
  CScreneEditorDlg dlg(kThreeZones, "Scene");
  SceneEditorView view(dlg);
  view.select(0);
  const bool opened = WithZoneEditor(view.newButton, [](ZoneEditorView& zone) {
    EXPECT_EQ(zone.source->currentText(), "id:1");
    EXPECT_EQ(zone.position->currentText(), "Fullscreen");
    EXPECT_EQ(zone.w->text(), "100.0");
    EXPECT_EQ(zone.h->text(), "100.0");
    EXPECT_EQ(zone.x->text(), "0.0");
    EXPECT_EQ(zone.y->text(), "0.0");
    EXPECT_EQ(zone.alpha->text(), "0");
    EXPECT_FALSE(zone.useKey->isChecked());
    EXPECT_TRUE(zone.keep->isChecked());
    for (QLineEdit* edit : {zone.w, zone.h, zone.x, zone.y}) EXPECT_FALSE(edit->isEnabled());
    EXPECT_TRUE(zone.alpha->isEnabled());
    zone.ok->click();
  });
  ASSERT_TRUE(opened);
  ASSERT_EQ(view.rowCount(), 4);
  EXPECT_EQ(view.row(3), QStringList({"id:1", "fullscreen", "100.0", "100.0", "0.0", "0.0", "0", "off", "keep"}));
  ASSERT_EQ(dlg.zones().size(), 4u);
  for (int i = 0; i < 3; ++i) ExpectSameZone(dlg.zones()[i], kThreeZones[i]);
  ExpectSameZone(dlg.zones()[3], MakeZone(VIDPOS_FULLSCREEN, 0, 100, 100, 0, 0, 0, false, true));
}

TEST_F(SceneEditor, NewZoneWithEnteredValues) {
  CScreneEditorDlg dlg(kThreeZones, "Scene");
  SceneEditorView view(dlg);
  ASSERT_TRUE(WithZoneEditor(view.newButton, [](ZoneEditorView& zone) {
    zone.source->setCurrentIndex(2);
    zone.position->setCurrentIndex(VIDPOS_FREE);
    zone.w->setText("150");
    zone.h->setText("12.345");
    zone.x->setText("-20");
    zone.y->setText("abc");
    zone.alpha->setText("300");
    zone.ok->click();
  }));
  ASSERT_EQ(view.rowCount(), 4);
  EXPECT_EQ(view.row(3), QStringList({"id:3", "free", "100.0", "12.3", "-20.0", "0.0", "255", "off", "keep"}));
  ASSERT_EQ(dlg.zones().size(), 4u);
  EXPECT_EQ(dlg.zones()[3].heightFrac, 12.345f);
  EXPECT_EQ(dlg.zones()[3].posXFrac, -20.0f);
}

TEST_F(SceneEditor, CancelledNewZoneAddsNothing) {
  CScreneEditorDlg dlg(kThreeZones, "Scene");
  SceneEditorView view(dlg);
  ASSERT_TRUE(WithZoneEditor(view.newButton, [](ZoneEditorView& zone) {
    zone.w->setText("10");
    zone.cancel->click();
  }));
  EXPECT_EQ(view.rowCount(), 3);
  EXPECT_EQ(dlg.zones().size(), 3u);
}

TEST_F(SceneEditor, EditChangesOnlyTheSelectedZoneAndRow) {
  CScreneEditorDlg dlg(kThreeZones, "Scene");
  SceneEditorView view(dlg);
  const QStringList row0 = view.row(0);
  const QStringList row2 = view.row(2);
  view.select(1);
  ASSERT_TRUE(WithZoneEditor(view.editButton, [](ZoneEditorView& zone) {
    EXPECT_EQ(zone.source->currentText(), "id:2") << "the editor shows the selected zone";
    EXPECT_EQ(zone.alpha->text(), "64");
    zone.position->setCurrentIndex(VIDPOS_FREE);
    zone.x->setText("-20");
    zone.useKey->click();
    zone.ok->click();
  }));
  ASSERT_EQ(view.rowCount(), 3);
  EXPECT_EQ(view.row(0), row0);
  EXPECT_EQ(view.row(1), QStringList({"id:2", "free", "50.0", "50.0", "-20.0", "0.0", "64", "on", "keep"}));
  EXPECT_EQ(view.row(2), row2);
  ExpectSameZone(dlg.zones()[0], kThreeZones[0]);
  ExpectSameZone(dlg.zones()[1], MakeZone(VIDPOS_FREE, 1, 50, 50, -20, 0, 64, true, true));
  ExpectSameZone(dlg.zones()[2], kThreeZones[2]);
}

TEST_F(SceneEditor, CancelledEditChangesNothing) {
  CScreneEditorDlg dlg(kThreeZones, "Scene");
  SceneEditorView view(dlg);
  const QStringList row2 = view.row(2);
  view.select(2);
  ASSERT_TRUE(WithZoneEditor(view.editButton, [](ZoneEditorView& zone) {
    zone.source->setCurrentIndex(7);
    zone.w->setText("1");
    zone.keep->click();
    zone.cancel->click();
  }));
  EXPECT_EQ(view.row(2), row2);
  ExpectSameZone(dlg.zones()[2], kThreeZones[2]);
}

TEST_F(SceneEditor, DoubleClickOnARowEditsIt) {
  CScreneEditorDlg dlg(kThreeZones, "Scene");
  dlg.show();
  SceneEditorView view(dlg);
  QString shownSource;
  const QPoint cell = view.table->visualItemRect(view.table->topLevelItem(2)).center();
  const bool opened = WithModal<CZoneEditorDlg>(
      [&] {
        // The first click selects the row, the second completes the double-click.
        QTest::mouseClick(view.table->viewport(), Qt::LeftButton, {}, cell);
        QTest::mouseDClick(view.table->viewport(), Qt::LeftButton, {}, cell);
      },
      [&](CZoneEditorDlg& editor) {
        ZoneEditorView zone(editor);
        shownSource = zone.source->currentText();
        zone.alpha->setText("5");
        zone.ok->click();
      });
  ASSERT_TRUE(opened);
  EXPECT_EQ(shownSource, "id:3");
  EXPECT_EQ(dlg.zones()[2].alpha, 5);
  EXPECT_EQ(view.row(2)[6], "5");
}

TEST_F(SceneEditor, EditAndDeleteWithoutSelectionDoNothing) {
  CScreneEditorDlg dlg(kThreeZones, "Scene");
  SceneEditorView view(dlg);
  view.select(1);
  view.table->clearSelection();
  EXPECT_FALSE(WithZoneEditor(view.editButton, [](ZoneEditorView& zone) { zone.ok->click(); }));
  view.deleteButton->click();
  EXPECT_EQ(view.rowCount(), 3);
  ASSERT_EQ(dlg.zones().size(), 3u);
  for (int i = 0; i < 3; ++i) ExpectSameZone(dlg.zones()[i], kThreeZones[i]);
  EXPECT_TRUE(messages_.isEmpty());
}

TEST_F(SceneEditor, DeleteRemovesTheSelectedZoneWithoutAskingAndSelectsRowZero) {
  struct Case {
    int row;
    std::vector<int> remaining;
  };
  const Case cases[] = {{0, {1, 2}}, {1, {0, 2}}, {2, {0, 1}}};
  for (const Case& c : cases) {
    SCOPED_TRACE("row " + std::to_string(c.row));
    CScreneEditorDlg dlg(kThreeZones, "Scene");
    SceneEditorView view(dlg);
    QStringList rows[3] = {view.row(0), view.row(1), view.row(2)};
    view.select(c.row);
    view.deleteButton->click();
    ASSERT_EQ(view.rowCount(), 2);
    ASSERT_EQ(dlg.zones().size(), 2u);
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(view.row(i), rows[c.remaining[i]]);
      ExpectSameZone(dlg.zones()[i], kThreeZones[c.remaining[i]]);
    }
    EXPECT_EQ(view.selected(), 0);
    EXPECT_TRUE(messages_.isEmpty());
  }
}

TEST_F(SceneEditor, DeletingTheOnlyZoneThenOkAsksForZones) {
  CScreneEditorDlg dlg({kThreeZones[1]}, "Scene");
  SceneEditorView view(dlg);
  QSignalSpy accepted(&dlg, &QDialog::accepted);
  view.select(0);
  view.deleteButton->click();
  EXPECT_EQ(view.rowCount(), 0);
  EXPECT_TRUE(dlg.zones().empty());
  EXPECT_EQ(view.selected(), -1);
  view.ok->click();
  EXPECT_EQ(messages_, QStringList({"Please, add some video zones!"}));
  EXPECT_EQ(accepted.count(), 0);
}

TEST_F(SceneEditor, OkWithoutNameAsksForItAndFocusesTheNameEdit) {
  // Without zones too: the name is asked for first, and only once.
  for (const std::vector<VideoZone>& zones : {kThreeZones, std::vector<VideoZone>{}}) {
    SCOPED_TRACE(std::to_string(zones.size()) + " zones");
    messages_.clear();
    CScreneEditorDlg dlg(zones, "Scene");
    dlg.show();
    SceneEditorView view(dlg);
    QSignalSpy accepted(&dlg, &QDialog::accepted);
    view.name->clear();
    view.table->setFocus();
    ASSERT_NE(dlg.focusWidget(), view.name);
    view.ok->click();
    EXPECT_EQ(messages_, QStringList({"Please, enter valid scene name!"}));
    EXPECT_EQ(dlg.focusWidget(), view.name);
    EXPECT_EQ(accepted.count(), 0);
    EXPECT_TRUE(dlg.isVisible());
  }
}

TEST_F(SceneEditor, OkReturnsTheZonesAndTheNameCutTo99Characters) {
  struct Case {
    QString entered;
    QString returned;
  };
  const QString long99 = QString(98, u'x') + QString::fromUtf8("é");
  const Case cases[] = {
      {"News", "News"},
      {long99, long99},
      {long99 + "yz", long99},
      // Characters, not UTF-16 units: 99 emoji are 198 units.
      {QString::fromUtf8("\xF0\x9F\x8E\xAC").repeated(120), QString::fromUtf8("\xF0\x9F\x8E\xAC").repeated(99)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.entered.toStdString());
    CScreneEditorDlg dlg(kThreeZones, "Old name");
    SceneEditorView view(dlg);
    view.name->setText(c.entered);
    view.ok->click();
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_EQ(dlg.name(), c.returned);
    ASSERT_EQ(dlg.zones().size(), 3u);
    for (int i = 0; i < 3; ++i) ExpectSameZone(dlg.zones()[i], kThreeZones[i]);
    EXPECT_TRUE(messages_.isEmpty());
  }
}

TEST_F(SceneEditor, CancelRejects) {
  CScreneEditorDlg dlg(kThreeZones, "Scene");
  SceneEditorView view(dlg);
  QSignalSpy accepted(&dlg, &QDialog::accepted);
  view.name->clear();
  view.cancel->click();
  EXPECT_EQ(dlg.result(), QDialog::Rejected);
  EXPECT_EQ(accepted.count(), 0);
  EXPECT_TRUE(messages_.isEmpty()) << "Cancel does not validate";
}

// Without a handler the text goes to a real message box: empty caption,
// only an OK button.
TEST(EditorMessage, DefaultIsAMessageBoxWithEmptyCaptionAndOk) {
  CScreneEditorDlg dlg(kThreeZones, "Scene");
  SceneEditorView view(dlg);
  view.name->clear();
  QString title = "unset";
  QString text;
  QMessageBox::StandardButtons buttons;
  QWidget* parent = nullptr;
  const bool shown = WithModal<QMessageBox>([&] { view.ok->click(); },
                                            [&](QMessageBox& box) {
                                              title = box.windowTitle();
                                              text = box.text();
                                              buttons = box.standardButtons();
                                              parent = box.parentWidget();
                                              box.button(QMessageBox::Ok)->click();
                                            });
  ASSERT_TRUE(shown);
  EXPECT_EQ(title, "");
  EXPECT_EQ(text, "Please, enter valid scene name!");
  EXPECT_EQ(buttons, QMessageBox::Ok);
  EXPECT_EQ(parent, &dlg);
  EXPECT_NE(dlg.result(), QDialog::Accepted);
}

}  // namespace
}  // namespace corvalind

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // No display needed; tests and CI run without one. Qt must not reach the
  // real user's folders either.
  corvalind::testing::TemporaryHome home("corvalind-editors");
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
