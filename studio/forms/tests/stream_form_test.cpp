// The stream output's window: what a project keeps (never the key or the
// passphrase), where the secrets go (the user's own file, readable by the
// user only), a refused start, and a stream whose server is missing that
// retries without showing the key.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <filesystem>

#include "engine/output_format.h"
#include "platform/folders.h"
#include "studio/files/project_file.h"
#include "studio/forms/stream_form.h"
#include "test_support/test_home.h"

namespace corvalind {
namespace {

TEST(StreamFormTest, AProjectKeepsTheSettingsButNeverTheSecrets) {
  OutputFormat format;
  CViewStreamForm form(format, "CorvalindStreamFormTest");
  form.UrlEdit()->setText("rtmp://live.example.org/app");
  form.KeyEdit()->setText("sk_live_secret_42");
  form.PassphraseEdit()->setText("a secret passphrase");
  form.BitrateBox()->setValue(6000);
  form.KeyframeBox()->setValue(4);
  form.PresetList()->setCurrentText("faster");
  form.ListenerBox()->setChecked(true);
  ProjectWindow window{12, 0, 0, {}};
  form.SaveProjectElements(window);
  ProjectDocument document;
  document.windows.push_back(window);
  const std::string text = FormatProject(document);
  EXPECT_NE(text.find("rtmp://live.example.org/app"), std::string::npos) << text;
  EXPECT_EQ(text.find("sk_live_secret_42"), std::string::npos) << text;
  EXPECT_EQ(text.find("a secret passphrase"), std::string::npos) << text;

  CViewStreamForm again(format, "CorvalindStreamFormTest");
  again.RestoreProjectElements(window);
  EXPECT_EQ(again.UrlEdit()->text(), "rtmp://live.example.org/app");
  EXPECT_EQ(again.BitrateBox()->value(), 6000);
  EXPECT_EQ(again.KeyframeBox()->value(), 4);
  EXPECT_EQ(again.PresetList()->currentText(), "faster");
  EXPECT_TRUE(again.ListenerBox()->isChecked());
}

TEST(StreamFormTest, ARefusedStartSaysWhyAndAMissingServerIsRetriedWithoutShowingTheKey) {
  OutputFormat format;
  CViewStreamForm form(format, "CorvalindStreamFormTest");
  form.UrlEdit()->setText("http://wrong.example.org/");
  form.ToggleStreaming();
  EXPECT_FALSE(form.Streaming());
  EXPECT_NE(form.StatusLabel()->text().indexOf("rtmp://"), -1) << form.StatusLabel()->text().toStdString();

  // A port nobody listens on.
  form.UrlEdit()->setText("rtmp://127.0.0.1:9/live");
  form.KeyEdit()->setText("sk_live_secret_42");
  form.ToggleStreaming();
  ASSERT_TRUE(form.Streaming()) << form.StatusLabel()->text().toStdString();
  EXPECT_FALSE(form.UrlEdit()->isEnabled()) << "the choices are fixed while streaming";
  ASSERT_TRUE(QTest::qWaitFor([&] { return form.Output().Statistics().reconnects >= 1; }, 30000));
  form.ShowStatistics();
  EXPECT_NE(form.StatusLabel()->text().indexOf("attempt"), -1) << form.StatusLabel()->text().toStdString();
  EXPECT_EQ(form.StatusLabel()->text().indexOf("sk_live_secret_42"), -1);
  form.ToggleStreaming();
  EXPECT_FALSE(form.Streaming());
  EXPECT_TRUE(form.UrlEdit()->isEnabled());

  // The key went to the user's own file, readable by nobody else.
  const std::string config = ConfigFolder() + "/Corvalind.conf";
  struct stat info {};
  ASSERT_EQ(stat(config.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 077, 0u);
  EXPECT_NE(testing::ReadBytes(config).find("sk_live_secret_42"), std::string::npos);
  CViewStreamForm next(format, "CorvalindStreamFormTest");
  EXPECT_EQ(next.KeyEdit()->text(), "sk_live_secret_42") << "kept for the next stream";
}

}  // namespace
}  // namespace corvalind

#ifdef CORVALIND_SANITIZED
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }
extern "C" const char* __tsan_default_options() { return "ignore_noninstrumented_modules=1"; }
#endif

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  corvalind::testing::TemporaryHome home("corvalind-stream-form");
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  setenv("GST_PLUGIN_PATH", CORVALIND_PLUGIN_DIR, 1);
  setenv("GST_REGISTRY", (home.Root() / "registry.bin").c_str(), 1);
  setenv("GST_REGISTRY_FORK", "no", 1);
  std::filesystem::create_directories(corvalind::ConfigFolder());
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
