#include "studio/remote/studio_remote.h"

#include <QBuffer>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QFileInfo>
#include <QImage>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QMdiSubWindow>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <algorithm>
#include <mutex>

#include "engine/key_settings.h"
#include "engine/program_output_loop.h"
#include "engine/sources/image_layer.h"
#include "engine/transition.h"
#include "engine/video_engine.h"
#include "platform/version.h"
#include "studio/forms/camera_form.h"
#include "studio/forms/network_form.h"
#include "studio/forms/overlay_form.h"
#include "studio/forms/program_form.h"
#include "studio/forms/recorder_form.h"
#include "studio/forms/scene_manager.h"
#include "studio/forms/slideshow_form.h"
#include "studio/forms/stream_form.h"
#include "studio/forms/videofile_form.h"
#include "studio/main_window.h"
#include "studio/window_kinds.h"

namespace corvalind {

namespace {

constexpr int kWatchIntervalMs = 20;

RemoteError Failure(const char* code, const QString& message) { return {code, message}; }

// The window of `kind` with `id` (numbered kinds), or the open one of a
// single kind; its form as Form.
template <typename Form>
Form* FormOf(CMainFrame& window, int kind, const QJsonObject& params, RemoteError* error, bool openSingle = false) {
  const WindowTable& table = window.Table();
  const QJsonValue idValue = params.value("id");
  const bool anyId = idValue.isUndefined() || idValue.isNull();
  if (!anyId && !idValue.isDouble()) {
    *error = Failure(remote_error::kBadParams, "id: a window id is needed");
    return nullptr;
  }
  for (int i = 0; i < kWindowTableSize; ++i) {
    const WindowTable::Entry& entry = table.At(i);
    if (!entry.inUse || entry.kind != kind) continue;
    if (!anyId && entry.id + 1 != idValue.toInt(-2)) continue;
    if (auto* form = qobject_cast<Form*>(static_cast<QMdiSubWindow*>(entry.frame)->widget())) return form;
  }
  if (anyId && openSingle) {
    if (QMdiSubWindow* frame = window.OpenWindow(kind)) {
      if (auto* form = qobject_cast<Form*>(frame->widget())) return form;
    }
  }
  *error = Failure(remote_error::kNotAvailable,
                   anyId ? QString("no %1 window is open").arg(WindowKindName(kind))
                         : QString("no %1 window has id %2").arg(WindowKindName(kind)).arg(idValue.toInt()));
  return nullptr;
}

CViewSceneManager* Manager(CMainFrame& window, RemoteError* error) {
  if (CViewSceneManager* manager = window.SceneManager()) return manager;
  window.OpenWindow(kKindSceneManager);
  if (CViewSceneManager* manager = window.SceneManager()) return manager;
  *error = Failure(remote_error::kNotAvailable, "the Scene Manager cannot be opened");
  return nullptr;
}

QString Absolute(const QString& path) { return QFileInfo(path).absoluteFilePath(); }

QJsonObject ZoneObject(const VideoZone& zone) {
  return {{"source", zone.sourceId},        {"placement", zone.placement},   {"x", zone.posXFrac},
          {"y", zone.posYFrac},             {"width", zone.widthFrac},       {"height", zone.heightFrac},
          {"alpha", zone.alpha},            {"chroma", zone.chroma},         {"keepAspect", zone.keepAspect}};
}

QString ColorText(uint32_t color) {
  return QString::asprintf("#%02x%02x%02x", ColorRed(color), ColorGreen(color), ColorBlue(color));
}

}  // namespace

bool RemoteServerSettingsOf(const RemoteControlChoice& choice, RemoteServerSettings* settings, QString* reason) {
  QHostAddress address;
  if (!address.setAddress(choice.address.trimmed())) {
    if (reason) *reason = QString("\"%1\" is no address").arg(choice.address.left(100));
    return false;
  }
  if (choice.port < 0 || choice.port > 65535) {
    if (reason) *reason = QString("%1 is no port").arg(choice.port);
    return false;
  }
  settings->address = address;
  settings->port = static_cast<quint16>(choice.port);
  settings->password = choice.password;
  return true;
}

StudioRemote::StudioRemote(CMainFrame& window, VideoEngine& engine, const OutputFormat& format, QObject* parent)
    : QObject(parent), window_(window), engine_(engine), format_(format) {
  server_ = std::make_unique<RemoteServer>(
      QString("Corvalind %1").arg(kProductVersion),
      [this](const RemoteRequest& request, QJsonObject* result, RemoteError* error) {
        return Handle(request, result, error);
      });
  AddActions();
  watch_ = new QTimer(this);
  watch_->setInterval(kWatchIntervalMs);
  connect(watch_, &QTimer::timeout, this, &StudioRemote::Watch);
  connect(window_.statusBar(), &QStatusBar::messageChanged, this, [this](const QString& text) {
    if (!text.isEmpty()) server_->Broadcast("status", {{"text", text}});
  });
}

StudioRemote::~StudioRemote() { Stop(); }

bool StudioRemote::Start(const RemoteServerSettings& settings, QString* reason) {
  if (!server_->Listen(settings, reason)) return false;
  Watch();
  watch_->start();
  return true;
}

void StudioRemote::Stop() {
  watch_->stop();
  server_->Close();
}

bool StudioRemote::Handle(const RemoteRequest& request, QJsonObject* result, RemoteError* error) {
  const auto it = actions_.constFind(request.name);
  if (it == actions_.constEnd()) {
    *error = Failure(remote_error::kUnknownRequest, QString("no request \"%1\"").arg(request.name.left(100)));
    return false;
  }
  return it.value()(request.params, result, error);
}

void StudioRemote::AddActions() {
  CMainFrame& w = window_;

  actions_["studio.status"] = [this](const QJsonObject&, QJsonObject* result, RemoteError*) {
    CViewProgramForm* view = window_.ProgramView();
    const int onAir = engine_.CurrentScene() + 1;
    *result = {{"version", kProductVersion},
               {"output", QJsonObject{{"width", format_.outputWidth},
                                      {"height", format_.outputHeight},
                                      {"rate", format_.frameRate}}},
               {"publishing", view && view->Loop().Publishing()},
               {"publishedFrames", static_cast<double>(view ? view->Loop().PublishedFrames() : 0)},
               {"lateFrames", static_cast<double>(view ? view->Loop().LateFrames() : 0)},
               {"composedFps", composedFps_},
               {"onAir", engine_.SceneCount() > 0 ? onAir : 0},
               {"clients", server_->ClientCount()}};
    return true;
  };

  actions_["scenes.list"] = [this](const QJsonObject&, QJsonObject* result, RemoteError*) {
    QJsonArray scenes;
    for (int i = 0; i < engine_.SceneCount(); ++i) {
      std::vector<VideoZone> zones;
      std::string name;
      if (!engine_.GetScene(i, zones, name)) continue;
      QJsonArray zoneList;
      for (const VideoZone& zone : zones) zoneList.append(ZoneObject(zone));
      scenes.append(QJsonObject{{"scene", i + 1}, {"name", QString::fromStdString(name)}, {"zones", zoneList}});
    }
    *result = {{"scenes", scenes}, {"onAir", engine_.SceneCount() > 0 ? engine_.CurrentScene() + 1 : 0}};
    return true;
  };

  actions_["transitions.list"] = [](const QJsonObject&, QJsonObject* result, RemoteError*) {
    QJsonArray list;
    for (int i = 0; i < kTransitionTypeCount; ++i) {
      list.append(QJsonObject{{"name", TransitionProtocolName(i)}, {"title", QString::fromUtf8(TransitionName(i))}});
    }
    *result = {{"transitions", list}};
    return true;
  };

  actions_["scene.switch"] = [&w](const QJsonObject& params, QJsonObject* result, RemoteError* error) {
    CViewSceneManager* manager = Manager(w, error);
    if (!manager) return false;
    const int count = manager->SceneList()->count();
    if (count == 0) {
      *error = Failure(remote_error::kNotAvailable, "the scene list is empty");
      return false;
    }
    int scene = 0;
    if (!IntParam(params, "scene", 1, count, &scene, error)) return false;
    int transition = manager->EffectList()->currentIndex();
    if (params.contains("transition")) {
      const std::optional<int> chosen = TransitionFromValue(params.value("transition"));
      if (!chosen) {
        *error = Failure(remote_error::kBadParams, "transition: no such transition (see transitions.list)");
        return false;
      }
      transition = *chosen;
    }
    // Exactly what choosing in the two lists and pressing Switch does.
    manager->EffectList()->setCurrentIndex(transition);
    manager->SceneList()->setCurrentIndex(scene - 1);
    manager->Switch();
    *result = {{"scene", scene}, {"transition", TransitionProtocolName(transition)}};
    return true;
  };

  actions_["scene.quick"] = [&w](const QJsonObject& params, QJsonObject* result, RemoteError* error) {
    CViewSceneManager* manager = Manager(w, error);
    if (!manager) return false;
    int button = 0;
    if (!IntParam(params, "button", 1, 10, &button, error)) return false;
    if (button > manager->SceneList()->count()) {
      *error = Failure(remote_error::kBadParams, QString("button: no scene %1 in the list").arg(button));
      return false;
    }
    manager->QuickSwitch(button - 1);
    *result = {{"scene", button}, {"transition", TransitionProtocolName(manager->EffectList()->currentIndex())}};
    return true;
  };

  actions_["loop.start"] = [&w](const QJsonObject& params, QJsonObject* result, RemoteError* error) {
    CViewSceneManager* manager = Manager(w, error);
    if (!manager) return false;
    int seconds = 0;
    if (!IntParam(params, "seconds", 1, 86400, &seconds, error)) return false;
    const int count = std::min(10, manager->SceneList()->count());
    const QJsonArray list = params.value("scenes").toArray();
    QSet<int> scenes;
    for (const QJsonValue& v : list) {
      const int n = v.toInt(0);
      if (!v.isDouble() || n < 1 || n > count) {
        *error = Failure(remote_error::kBadParams, QString("scenes: numbers from 1 to %1 are needed").arg(count));
        return false;
      }
      scenes.insert(n);
    }
    if (scenes.size() < 2) {
      *error = Failure(remote_error::kBadParams, "scenes: at least two scenes are needed");
      return false;
    }
    if (manager->Looping()) manager->ToggleLoop();
    for (int i = 0; i < 10; ++i) manager->LoopCheck(i)->setChecked(scenes.contains(i + 1));
    manager->PeriodEdit()->setText(QString::number(seconds));
    manager->ToggleLoop();
    if (!manager->Looping()) {
      *error = Failure(remote_error::kFailed, "the loop did not start");
      return false;
    }
    QJsonArray chosen;
    for (int scene : manager->LoopList()) chosen.append(scene + 1);
    *result = {{"seconds", seconds}, {"scenes", chosen}};
    return true;
  };

  actions_["loop.stop"] = [&w](const QJsonObject&, QJsonObject*, RemoteError* error) {
    CViewSceneManager* manager = Manager(w, error);
    if (!manager) return false;
    if (manager->Looping()) manager->ToggleLoop();
    return true;
  };

  actions_["loop.status"] = [&w](const QJsonObject&, QJsonObject* result, RemoteError*) {
    CViewSceneManager* manager = w.SceneManager();
    QJsonArray scenes;
    if (manager && manager->Looping()) {
      for (int scene : manager->LoopList()) scenes.append(scene + 1);
    }
    *result = {{"looping", manager && manager->Looping()},
               {"seconds", manager && manager->Looping() ? manager->LoopSeconds() : 0},
               {"secondsLeft", manager ? manager->LoopSecondsLeft() : 0},
               {"scenes", scenes}};
    return true;
  };

  actions_["windows.list"] = [&w](const QJsonObject&, QJsonObject* result, RemoteError*) {
    QJsonArray list;
    for (int i = 0; i < kWindowTableSize; ++i) {
      const WindowTable::Entry& entry = w.Table().At(i);
      if (!entry.inUse) continue;
      const auto* frame = static_cast<QMdiSubWindow*>(entry.frame);
      list.append(QJsonObject{{"id", entry.id >= 0 ? QJsonValue(entry.id + 1) : QJsonValue(QJsonValue::Null)},
                              {"kind", WindowKindName(entry.kind)},
                              {"title", frame->windowTitle()}});
    }
    *result = {{"windows", list}};
    return true;
  };

  actions_["window.open"] = [&w](const QJsonObject& params, QJsonObject* result, RemoteError* error) {
    QString name;
    if (!StringParam(params, "kind", &name, error)) return false;
    const std::optional<int> kind = WindowKindFromName(name);
    if (!kind) {
      *error = Failure(remote_error::kBadParams, "kind: no such window kind");
      return false;
    }
    QMdiSubWindow* frame = w.OpenWindow(*kind);
    if (!frame) {
      *error = Failure(remote_error::kNotAvailable,
                       QString("no %1 window can be opened (open already, or no free id)").arg(name));
      return false;
    }
    int id = -1;
    for (int i = 0; i < kWindowTableSize; ++i) {
      const WindowTable::Entry& entry = w.Table().At(i);
      if (entry.inUse && entry.frame == frame) id = entry.id;
    }
    *result = {{"id", id >= 0 ? QJsonValue(id + 1) : QJsonValue(QJsonValue::Null)},
               {"kind", WindowKindName(*kind)},
               {"title", frame->windowTitle()}};
    return true;
  };

  actions_["window.close"] = [&w](const QJsonObject& params, QJsonObject*, RemoteError* error) {
    const QJsonValue idValue = params.value("id");
    const std::optional<int> kind = WindowKindFromName(params.value("kind").toString());
    if (!idValue.isDouble() && !kind) {
      *error = Failure(remote_error::kBadParams, "id or kind: the window to close is needed");
      return false;
    }
    for (int i = 0; i < kWindowTableSize; ++i) {
      const WindowTable::Entry& entry = w.Table().At(i);
      if (!entry.inUse) continue;
      if (kind && entry.kind != *kind) continue;
      if (idValue.isDouble() && entry.id + 1 != idValue.toInt(-2)) continue;
      // A remote close is the user's explicit command: no question, as
      // File > New closes windows once the user agreed.
      delete static_cast<QMdiSubWindow*>(entry.frame);
      return true;
    }
    *error = Failure(remote_error::kNotAvailable, "no such window is open");
    return false;
  };

  // Video files.
  actions_["videofile.load"] = [&w](const QJsonObject& params, QJsonObject*, RemoteError* error) {
    auto* form = FormOf<CViewVideofileForm>(w, kKindVideoFile, params, error);
    QString path;
    if (!form || !StringParam(params, "path", &path, error)) return false;
    if (!QFileInfo(path).isFile()) {
      *error = Failure(remote_error::kBadParams, "path: no such file");
      return false;
    }
    form->LoadVideoFile(Absolute(path));
    return true;
  };
  const auto videoButton = [&w](void (CViewVideofileForm::*button)()) {
    return [&w, button](const QJsonObject& params, QJsonObject*, RemoteError* error) {
      auto* form = FormOf<CViewVideofileForm>(w, kKindVideoFile, params, error);
      if (!form) return false;
      (form->*button)();
      return true;
    };
  };
  actions_["videofile.play"] = videoButton(&CViewVideofileForm::Play);
  actions_["videofile.pause"] = videoButton(&CViewVideofileForm::Pause);
  actions_["videofile.stop"] = videoButton(&CViewVideofileForm::Stop);
  actions_["videofile.seek"] = [&w](const QJsonObject& params, QJsonObject*, RemoteError* error) {
    auto* form = FormOf<CViewVideofileForm>(w, kKindVideoFile, params, error);
    if (!form) return false;
    const QJsonValue percent = params.value("percent");
    if (!percent.isDouble() || percent.toDouble() < 0 || percent.toDouble() > 100) {
      *error = Failure(remote_error::kBadParams, "percent: a number from 0 to 100 is needed");
      return false;
    }
    form->SeekToBar(static_cast<int>(percent.toDouble() * 10.0));
    return true;
  };
  actions_["videofile.status"] = [&w](const QJsonObject& params, QJsonObject* result, RemoteError* error) {
    auto* form = FormOf<CViewVideofileForm>(w, kKindVideoFile, params, error);
    if (!form) return false;
    VideoFileSource* source = form->Source();
    *result = {{"path", form->Path()},
               {"percent", source ? source->PlayPercent() : 0},
               {"playing", source && source->Running() && !source->Finished()}};
    return true;
  };

  // Cameras.
  actions_["camera.devices"] = [&w](const QJsonObject& params, QJsonObject* result, RemoteError* error) {
    auto* form = FormOf<CViewCameraForm>(w, kKindCamera, params, error);
    if (!form) return false;
    QJsonArray devices;
    for (int i = 0; i < form->DeviceList()->count(); ++i) devices.append(form->DeviceList()->itemText(i));
    *result = {{"devices", devices}, {"device", form->Source() ? form->DeviceList()->currentIndex() + 1 : 0}};
    return true;
  };
  actions_["camera.choose"] = [&w](const QJsonObject& params, QJsonObject* result, RemoteError* error) {
    auto* form = FormOf<CViewCameraForm>(w, kKindCamera, params, error);
    if (!form) return false;
    QComboBox* list = form->DeviceList();
    const QJsonValue device = params.value("device");
    int position = -1;
    if (device.isDouble()) {
      position = device.toInt(0) - 1;
    } else if (device.isString()) {
      for (int i = 0; i < list->count(); ++i) {
        if (list->itemText(i).contains(device.toString())) {
          position = i;
          break;
        }
      }
    }
    if (position < 0 || position >= list->count()) {
      *error = Failure(remote_error::kBadParams, "device: no such device (see camera.devices)");
      return false;
    }
    list->setCurrentIndex(position);
    form->ActivateCamera();
    *result = {{"device", position + 1}};
    return true;
  };

  // Slide shows.
  actions_["slideshow.start"] = [&w](const QJsonObject& params, QJsonObject*, RemoteError* error) {
    auto* form = FormOf<CViewSlideshowForm>(w, kKindSlideShow, params, error);
    QString folder;
    int seconds = 0;
    if (!form || !StringParam(params, "folder", &folder, error) || !IntParam(params, "seconds", 1, 86400, &seconds, error)) {
      return false;
    }
    if (!QFileInfo(folder).isDir()) {
      *error = Failure(remote_error::kBadParams, "folder: no such folder");
      return false;
    }
    form->StartSlideshow(Absolute(folder), seconds);
    return true;
  };
  actions_["slideshow.next"] = [&w](const QJsonObject& params, QJsonObject*, RemoteError* error) {
    auto* form = FormOf<CViewSlideshowForm>(w, kKindSlideShow, params, error);
    if (!form) return false;
    form->Next();
    return true;
  };
  actions_["slideshow.prev"] = [&w](const QJsonObject& params, QJsonObject*, RemoteError* error) {
    auto* form = FormOf<CViewSlideshowForm>(w, kKindSlideShow, params, error);
    if (!form) return false;
    form->Prev();
    return true;
  };

  // Image layers.
  const auto layerForm = [&w](const QJsonObject& params, RemoteError* error) -> CViewOverlayForm* {
    const QString layer = params.value("layer").toString();
    const int kind = layer == "overlay" ? kKindOverlay : layer == "background" ? kKindBackground : -1;
    if (kind < 0) {
      *error = Failure(remote_error::kBadParams, "layer: overlay or background is needed");
      return nullptr;
    }
    return FormOf<CViewOverlayForm>(w, kind, QJsonObject{}, error, true);
  };
  actions_["image.set"] = [layerForm](const QJsonObject& params, QJsonObject*, RemoteError* error) {
    CViewOverlayForm* form = layerForm(params, error);
    QString path;
    if (!form || !StringParam(params, "path", &path, error)) return false;
    if (!QFileInfo(path).isFile()) {
      *error = Failure(remote_error::kBadParams, "path: no such file");
      return false;
    }
    form->SetImageLayer(Absolute(path));
    return true;
  };
  actions_["image.enable"] = [layerForm](const QJsonObject& params, QJsonObject*, RemoteError* error) {
    CViewOverlayForm* form = layerForm(params, error);
    bool enabled = false;
    if (!form || !BoolParam(params, "enabled", &enabled, error)) return false;
    if (!form->Layer()) {
      *error = Failure(remote_error::kNotAvailable, "the layer has no picture yet");
      return false;
    }
    if (form->Layer()->enabled.load() != enabled) form->ToggleEnabled();
    return true;
  };

  // The recorder.
  actions_["recorder.start"] = [&w](const QJsonObject& params, QJsonObject* result, RemoteError* error) {
    auto* form = FormOf<CViewRecorderForm>(w, kKindRecorder, QJsonObject{}, error, true);
    if (!form) return false;
    if (form->Recording()) {
      *error = Failure(remote_error::kFailed, "already recording");
      return false;
    }
    if (params.contains("path")) {
      QString path;
      if (!StringParam(params, "path", &path, error)) return false;
      form->OutputEdit()->setText(Absolute(path));
    }
    form->ToggleRecording();
    if (!form->Recording()) {
      *error = Failure(remote_error::kFailed, form->StatusLabel()->text().isEmpty() ? "the recording did not start"
                                                                                    : form->StatusLabel()->text());
      return false;
    }
    *result = {{"path", form->OutputEdit()->text()}};
    return true;
  };
  actions_["recorder.stop"] = [&w](const QJsonObject&, QJsonObject*, RemoteError* error) {
    auto* form = FormOf<CViewRecorderForm>(w, kKindRecorder, QJsonObject{}, error);
    if (!form) return false;
    if (form->Recording()) form->ToggleRecording();
    return true;
  };
  actions_["recorder.status"] = [&w](const QJsonObject&, QJsonObject* result, RemoteError*) {
    RemoteError ignored;
    auto* form = FormOf<CViewRecorderForm>(w, kKindRecorder, QJsonObject{}, &ignored);
    *result = {{"recording", form && form->Recording()},
               {"path", form ? form->OutputEdit()->text() : QString()},
               {"status", form ? form->StatusLabel()->text() : QString()}};
    return true;
  };

  // The recorder's choices, as its three lists offer them.
  actions_["recorder.options"] = [&w](const QJsonObject&, QJsonObject* result, RemoteError* error) {
    auto* form = FormOf<CViewRecorderForm>(w, kKindRecorder, QJsonObject{}, error, true);
    if (!form) return false;
    const auto entries = [](QComboBox* list) {
      QJsonArray names;
      for (int i = 0; i < list->count(); ++i) names.append(list->itemText(i));
      return names;
    };
    *result = {{"videoEncoders", entries(form->VideoList())},
               {"audioSources", entries(form->AudioSourceList())},
               {"audioEncoders", entries(form->AudioList())},
               {"videoEncoder", form->VideoList()->currentText()},
               {"audioSource", form->AudioSourceList()->currentText()},
               {"audioEncoder", form->AudioList()->currentText()},
               {"matroska", form->MkvBox()->isChecked()}};
    return true;
  };
  actions_["recorder.configure"] = [&w](const QJsonObject& params, QJsonObject* result, RemoteError* error) {
    auto* form = FormOf<CViewRecorderForm>(w, kKindRecorder, QJsonObject{}, error, true);
    if (!form) return false;
    if (form->Recording()) {
      *error = Failure(remote_error::kFailed, "the choices are fixed while recording");
      return false;
    }
    struct Role {
      const char* param;
      QComboBox* list;
      void (CViewRecorderForm::*select)(int);
      int position = -1;
    };
    Role roles[] = {{"videoEncoder", form->VideoList(), &CViewRecorderForm::SelectVideoEncoder},
                    {"audioSource", form->AudioSourceList(), &CViewRecorderForm::SelectAudioSource},
                    {"audioEncoder", form->AudioList(), &CViewRecorderForm::SelectAudioEncoder}};
    // Every name is checked before anything is chosen.
    for (Role& role : roles) {
      if (!params.contains(role.param)) continue;
      role.position = role.list->findText(params.value(role.param).toString());
      if (role.position < 0) {
        *error = Failure(remote_error::kBadParams,
                         QString("%1: no such entry (see recorder.options)").arg(QString::fromUtf8(role.param)));
        return false;
      }
    }
    if (params.contains("matroska") && !params.value("matroska").isBool()) {
      *error = Failure(remote_error::kBadParams, "matroska: true or false is needed");
      return false;
    }
    // As the user picks in the lists.
    for (Role& role : roles) {
      if (role.position < 0) continue;
      role.list->setCurrentIndex(role.position);
      (form->*role.select)(role.position);
    }
    if (params.contains("matroska")) form->MkvBox()->setChecked(params.value("matroska").toBool());
    *result = {};
    return true;
  };

  // The network transmitter.
  const auto networkToggle = [&w](bool start) {
    return [&w, start](const QJsonObject& params, QJsonObject*, RemoteError* error) {
      auto* form = FormOf<CViewNetworkForm>(w, kKindNetwork, params, error, start);
      if (!form) return false;
      if (form->Sending() != start) form->ToggleSending();
      if (form->Sending() != start) {
        *error = Failure(remote_error::kFailed, form->LastErrorLabel()->text().isEmpty()
                                                    ? QString("the transmitter did not start")
                                                    : form->LastErrorLabel()->text());
        return false;
      }
      return true;
    };
  };
  actions_["network.start"] = networkToggle(true);
  actions_["network.stop"] = networkToggle(false);
  actions_["network.status"] = [&w](const QJsonObject& params, QJsonObject* result, RemoteError* error) {
    auto* form = FormOf<CViewNetworkForm>(w, kKindNetwork, params, error);
    if (!form) return false;
    *result = {{"sending", form->Sending()},
               {"frames", form->TotalFramesLabel()->text()},
               {"data", form->TotalDataLabel()->text()},
               {"compression", form->CompressionLabel()->text()},
               {"error", form->LastErrorLabel()->text()}};
    return true;
  };

  // The stream output.
  actions_["stream.start"] = [&w](const QJsonObject& params, QJsonObject* result, RemoteError* error) {
    auto* form = FormOf<CViewStreamForm>(w, kKindStream, QJsonObject{}, error, true);
    if (!form) return false;
    if (form->Streaming()) {
      *error = Failure(remote_error::kFailed, "already streaming");
      return false;
    }
    for (const char* name : {"url", "key", "passphrase"}) {
      if (params.contains(name) && !params.value(name).isString()) {
        *error = Failure(remote_error::kBadParams, QString("%1: a text is needed").arg(name));
        return false;
      }
    }
    if (params.contains("url")) form->UrlEdit()->setText(params.value("url").toString());
    if (params.contains("key")) form->KeyEdit()->setText(params.value("key").toString());
    if (params.contains("passphrase")) form->PassphraseEdit()->setText(params.value("passphrase").toString());
    form->ToggleStreaming();
    if (!form->Streaming()) {
      *error = Failure(remote_error::kFailed, form->StatusLabel()->text());
      return false;
    }
    *result = {{"url", form->UrlEdit()->text()}};
    return true;
  };
  actions_["stream.stop"] = [&w](const QJsonObject&, QJsonObject*, RemoteError* error) {
    auto* form = FormOf<CViewStreamForm>(w, kKindStream, QJsonObject{}, error);
    if (!form) return false;
    if (form->Streaming()) form->ToggleStreaming();
    return true;
  };
  actions_["stream.status"] = [&w](const QJsonObject&, QJsonObject* result, RemoteError* error) {
    auto* form = FormOf<CViewStreamForm>(w, kKindStream, QJsonObject{}, error);
    if (!form) return false;
    const StreamStatistics s = form->Output().Statistics();
    static const char* const kStates[] = {"idle", "connecting", "live", "waiting", "failed"};
    *result = {{"streaming", form->Streaming()},
               {"state", kStates[static_cast<int>(s.state)]},
               {"kbitsPerSecond", s.kbitsPerSecond},
               {"bytesSent", static_cast<double>(s.bytesSent)},
               {"framesEncoded", static_cast<double>(s.framesEncoded)},
               {"framesDropped", static_cast<double>(s.framesDropped)},
               {"reconnects", s.reconnects},
               {"uptimeSeconds", s.uptimeSeconds},
               {"status", QString::fromStdString(StreamStatusText(s))}};
    return true;
  };

  // Keying and scaling.
  actions_["settings.get"] = [](const QJsonObject&, QJsonObject* result, RemoteError*) {
    *result = {{"autoKey", chromaAutoKey.load()},
               {"keyColor", ColorText(chromaKeyColor.load())},
               {"range", static_cast<double>(chromaKeyRange.load())},
               {"bilinear", bilinearScaling.load()}};
    return true;
  };
  actions_["settings.set"] = [this](const QJsonObject& params, QJsonObject* result, RemoteError* error) {
    // Everything is checked before anything changes.
    bool autoKey = chromaAutoKey.load();
    bool bilinear = bilinearScaling.load();
    uint32_t color = chromaKeyColor.load();
    float range = chromaKeyRange.load();
    if (params.contains("autoKey") && !BoolParam(params, "autoKey", &autoKey, error)) return false;
    if (params.contains("bilinear") && !BoolParam(params, "bilinear", &bilinear, error)) return false;
    if (params.contains("keyColor")) {
      const QColor parsed(params.value("keyColor").toString());
      if (!params.value("keyColor").isString() || !parsed.isValid()) {
        *error = Failure(remote_error::kBadParams, "keyColor: a colour as \"#rrggbb\" is needed");
        return false;
      }
      color = MakeColor(static_cast<uint8_t>(parsed.red()), static_cast<uint8_t>(parsed.green()),
                        static_cast<uint8_t>(parsed.blue()));
    }
    if (params.contains("range")) {
      const QJsonValue value = params.value("range");
      if (!value.isDouble() || value.toDouble() < 0 || value.toDouble() > 1) {
        *error = Failure(remote_error::kBadParams, "range: a number from 0 to 1 is needed");
        return false;
      }
      range = static_cast<float>(value.toDouble());
    }
    chromaAutoKey.store(autoKey);
    bilinearScaling.store(bilinear);
    chromaKeyColor.store(color);
    chromaKeyRange.store(range);
    return actions_["settings.get"](QJsonObject{}, result, error);
  };

  // A look at the program.
  actions_["program.thumbnail"] = [this](const QJsonObject& params, QJsonObject* result, RemoteError* error) {
    CViewProgramForm* view = window_.ProgramView();
    if (!view) {
      *error = Failure(remote_error::kNotAvailable, "the Video Output is not open");
      return false;
    }
    int width = 320;
    if (params.contains("width") && !IntParam(params, "width", 16, 1920, &width, error)) return false;
    const QString format = params.value("format").toString("png");
    if (format != "png" && format != "jpeg") {
      *error = Failure(remote_error::kBadParams, "format: png or jpeg is needed");
      return false;
    }
    QImage picture;
    {
      std::lock_guard<std::mutex> lock(view->Loop().OutputLock());
      const std::vector<uint8_t>& frame = view->Loop().ProgramFrame();
      if (frame.size() < format_.frameBytes) {
        *error = Failure(remote_error::kNotAvailable, "no program was composed yet");
        return false;
      }
      // Bottom row first in the frame.
      picture = QImage(frame.data(), format_.outputWidth, format_.outputHeight, format_.outputWidth * 3,
                       QImage::Format_BGR888)
                    .mirrored();
    }
    const QImage small = picture.scaledToWidth(width, Qt::SmoothTransformation);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    small.save(&buffer, format == "png" ? "PNG" : "JPEG", format == "png" ? -1 : 85);
    *result = {{"format", format},
               {"width", small.width()},
               {"height", small.height()},
               {"data", QString::fromLatin1(bytes.toBase64())}};
    return true;
  };
}

void StudioRemote::WatchSceneManager() {
  CViewSceneManager* manager = window_.SceneManager();
  if (manager == watchedManager_) return;
  watchedManager_ = manager;
  if (!manager) return;
  connect(manager, &CViewSceneManager::switched, this, [this](int position, int transition) {
    server_->Broadcast("scene.switched", {{"scene", position + 1}, {"transition", TransitionProtocolName(transition)}});
    transitionPending_ = true;
    pendingScene_ = position + 1;
    Watch();
  });
}

void StudioRemote::Watch() {
  WatchSceneManager();

  // Windows opened and closed, whoever did it.
  QSet<QString> now;
  for (int i = 0; i < kWindowTableSize; ++i) {
    const WindowTable::Entry& entry = window_.Table().At(i);
    if (entry.inUse) now.insert(QString("%1:%2").arg(entry.kind).arg(entry.id));
  }
  const auto send = [this](const char* event, const QString& key) {
    const QStringList parts = key.split(':');
    const int id = parts.value(1).toInt();
    server_->Broadcast(event, {{"kind", WindowKindName(parts.value(0).toInt())},
                               {"id", id >= 0 ? QJsonValue(id + 1) : QJsonValue(QJsonValue::Null)}});
  };
  for (const QString& key : now) {
    if (!windows_.contains(key)) send("window.opened", key);
  }
  for (const QString& key : windows_) {
    if (!now.contains(key)) send("window.closed", key);
  }
  windows_ = now;

  // The transition after a switch.
  if (transitionPending_ && engine_.Transition().activeTransition == 0) {
    transitionPending_ = false;
    server_->Broadcast("transition.finished", {{"scene", pendingScene_}});
  }

  // The loop's countdown.
  CViewSceneManager* manager = window_.SceneManager();
  const int left = manager && manager->Looping() ? manager->LoopSecondsLeft() : -1;
  if (left != loopLeft_ && left >= 0) server_->Broadcast("loop.tick", {{"secondsLeft", left}});
  loopLeft_ = left;

  // The recorder.
  RemoteError ignored;
  auto* recorder = FormOf<CViewRecorderForm>(window_, kKindRecorder, QJsonObject{}, &ignored);
  const bool recording = recorder && recorder->Recording();
  if (recording != recording_) {
    if (recording) recordingPath_ = recorder->OutputEdit()->text();
    server_->Broadcast(recording ? "recording.started" : "recording.stopped", {{"path", recordingPath_}});
    recording_ = recording;
  }

  // The composition's rate over the last second.
  CViewProgramForm* view = window_.ProgramView();
  const qint64 at = QDateTime::currentMSecsSinceEpoch();
  const uint64_t frames = view ? view->Loop().PublishedFrames() : 0;
  if (at - fpsAt_ >= 1000) {
    composedFps_ = fpsAt_ == 0 || frames < fpsFrames_ ? 0.0
                                                       : static_cast<double>(frames - fpsFrames_) * 1000.0 /
                                                             static_cast<double>(at - fpsAt_);
    fpsFrames_ = frames;
    fpsAt_ = at;
  }
}

}  // namespace corvalind
