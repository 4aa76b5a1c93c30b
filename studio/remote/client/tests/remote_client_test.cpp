#include "remote_client.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QJsonDocument>
#include <QTcpServer>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace corvalind {
namespace {

// The client needs an application object; these tests never start its
// loop except where they say so.
class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "remote_ctl_tests";
    static char* argv[] = {name, nullptr};
    app_ = std::make_unique<QCoreApplication>(argc, argv);
  }
  void TearDown() override { app_.reset(); }

 private:
  std::unique_ptr<QCoreApplication> app_;
};
[[maybe_unused]] ::testing::Environment* const kQt = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

void Send(QWebSocket* peer, const QJsonObject& message) {
  peer->sendTextMessage(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
}

QJsonObject Ok(const QJsonValue& id, const QJsonObject& result = {}) {
  return {{"id", id}, {"ok", true}, {"result", result}};
}

QJsonObject Refusal(const QJsonValue& id, const QString& code, const QString& message) {
  return {{"id", id}, {"ok", false}, {"error", QJsonObject{{"code", code}, {"message", message}}}};
}

QJsonObject Event(const QString& name, const QJsonObject& data = {}) { return {{"event", name}, {"data", data}}; }

// A studio stand-in on the loopback: says hello with the given
// authentication (unless told not to), keeps what it receives and answers
// through onMessage.
class StandIn : public QObject {
 public:
  explicit StandIn(const QJsonValue& authentication, bool sayHello = true)
      : server_(QStringLiteral("stand-in"), QWebSocketServer::NonSecureMode) {
    EXPECT_TRUE(server_.listen(QHostAddress::LocalHost, 0));
    connect(&server_, &QWebSocketServer::newConnection, this, [this, authentication, sayHello] {
      while (QWebSocket* peer = server_.nextPendingConnection()) {
        peer->setParent(this);
        connect(peer, &QWebSocket::textMessageReceived, this, [this, peer](const QString& text) {
          texts.push_back(text);
          received.push_back(QJsonDocument::fromJson(text.toUtf8()).object());
          if (onMessage) onMessage(peer, received.back());
        });
        if (sayHello) {
          Send(peer, Event("hello", {{"protocol", 1}, {"studio", "Corvalind test"}, {"authentication", authentication}}));
        }
      }
    });
  }

  quint16 Port() const { return server_.serverPort(); }

  std::function<void(QWebSocket*, const QJsonObject&)> onMessage;
  std::vector<QString> texts;
  std::vector<QJsonObject> received;

 private:
  QWebSocketServer server_;
};

QString Request(const QJsonObject& message) { return message.value("request").toString(); }

TEST(RemoteClientTest, RequestGetsTheResponseWithItsIdAndKeepsEvents) {
  StandIn studio{QJsonValue(QJsonValue::Null)};
  studio.onMessage = [](QWebSocket* peer, const QJsonObject& message) {
    const QJsonValue id = message.value("id");
    // An event and an answer to some other request come first.
    Send(peer, Event("scene.switched", {{"scene", 3}}));
    Send(peer, Ok(id.toInt() + 100, {{"stale", true}}));
    Send(peer, Ok(id, {{"echo", message.value("params")}}));
  };
  RemoteClient client;
  QString error;
  ASSERT_TRUE(client.Connect("127.0.0.1", studio.Port(), {}, 5000, &error)) << error.toStdString();
  EXPECT_TRUE(client.Connected());
  EXPECT_EQ(client.Hello().value("data").toObject().value("protocol").toInt(), 1);

  const QJsonObject params{{"scene", 3}};
  const QJsonObject first = client.Request("scene.switch", params, 5000);
  ASSERT_EQ(studio.received.size(), 1u);
  EXPECT_EQ(Request(studio.received[0]), "scene.switch");
  EXPECT_EQ(studio.received[0].value("params").toObject(), params);
  EXPECT_TRUE(first.value("ok").toBool());
  EXPECT_EQ(first.value("id"), studio.received[0].value("id"));
  EXPECT_EQ(first.value("result").toObject().value("echo").toObject(), params);

  // The event is kept, the hello is not among the events.
  const std::vector<QJsonObject> events = client.TakeEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].value("event").toString(), "scene.switched");
  EXPECT_TRUE(client.TakeEvents().empty());

  // No params go out when there are none; ids grow.
  const QJsonObject second = client.Request("loop.status", {}, 5000);
  ASSERT_EQ(studio.received.size(), 2u);
  EXPECT_FALSE(studio.received[1].contains("params"));
  EXPECT_GT(studio.received[1].value("id").toInt(), studio.received[0].value("id").toInt());
  EXPECT_EQ(second.value("id"), studio.received[1].value("id"));
  EXPECT_FALSE(second.value("result").toObject().contains("stale"));
}

TEST(RemoteClientTest, WaitForEventTakesTheNamedOneAndLeavesTheOthers) {
  StandIn studio{QJsonValue(QJsonValue::Null)};
  studio.onMessage = [](QWebSocket* peer, const QJsonObject& message) {
    if (Request(message) == "burst") {
      Send(peer, Event("window.opened", {{"id", 1}}));
      Send(peer, Event("loop.tick", {{"secondsLeft", 4}}));
      Send(peer, Event("window.closed", {{"id", 1}}));
    } else {
      // The event comes after the response, while the client waits.
      QTimer::singleShot(50, peer, [peer] { Send(peer, Event("transition.finished", {{"scene", 2}})); });
    }
    Send(peer, Ok(message.value("id")));
  };
  RemoteClient client;
  QString error;
  ASSERT_TRUE(client.Connect("127.0.0.1", studio.Port(), {}, 5000, &error)) << error.toStdString();

  ASSERT_TRUE(client.Request("burst", {}, 5000).value("ok").toBool());
  QJsonObject event;
  ASSERT_TRUE(client.WaitForEvent("loop.tick", 5000, &event));
  EXPECT_EQ(event.value("data").toObject().value("secondsLeft").toInt(), 4);
  EXPECT_FALSE(client.WaitForEvent("scene.switched", 100, &event));

  ASSERT_TRUE(client.Request("later", {}, 5000).value("ok").toBool());
  ASSERT_TRUE(client.WaitForEvent("transition.finished", 5000, &event));
  EXPECT_EQ(event.value("data").toObject().value("scene").toInt(), 2);

  const std::vector<QJsonObject> left = client.TakeEvents();
  ASSERT_EQ(left.size(), 2u);
  EXPECT_EQ(left[0].value("event").toString(), "window.opened");
  EXPECT_EQ(left[1].value("event").toString(), "window.closed");
}

// HMAC-SHA256 test case 2 of RFC 4231: key "Jefe" over "what do ya want for
// nothing?".
const QByteArray kChallenge = "what do ya want for nothing?";
const QByteArray kAnswer =
    QByteArray::fromHex("5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843").toBase64();

TEST(RemoteClientTest, SignsInWithTheHmacOfTheChallenge) {
  const struct {
    const char* name;
    QString password;
    bool signedIn;
    bool answerSent;
    const char* message;  // a part of the error
  } cases[] = {
      {"right password", "Jefe", true, true, ""},
      {"wrong password", "jefe", false, true, "wrong answer"},
      {"no password", "", false, false, "wants a password"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StandIn studio{QJsonObject{{"challenge", QString::fromLatin1(kChallenge.toBase64())}}};
    studio.onMessage = [](QWebSocket* peer, const QJsonObject& message) {
      if (Request(message) != "authenticate") {
        Send(peer, Ok(message.value("id")));
      } else if (message.value("params").toObject().value("response").toString().toLatin1() == kAnswer) {
        Send(peer, Ok(message.value("id")));
      } else {
        Send(peer, Refusal(message.value("id"), "unauthorized", "wrong answer"));
      }
    };
    RemoteClient client;
    QString error;
    EXPECT_EQ(client.Connect("127.0.0.1", studio.Port(), c.password, 5000, &error), c.signedIn)
        << error.toStdString();
    EXPECT_TRUE(error.contains(QLatin1String(c.message))) << error.toStdString();
    EXPECT_EQ(client.LastConnectFailure(),
              c.signedIn ? RemoteClient::ConnectFailure::kNone : RemoteClient::ConnectFailure::kUnauthorized);
    EXPECT_EQ(client.Connected(), c.signedIn);
    ASSERT_EQ(studio.received.size(), c.answerSent ? 1u : 0u);
    if (c.answerSent) {
      EXPECT_EQ(Request(studio.received[0]), "authenticate");
      EXPECT_FALSE(studio.texts[0].contains(c.password)) << "the password itself must not travel";
    }
    if (c.signedIn) {
      EXPECT_EQ(studio.received[0].value("params").toObject().value("response").toString().toLatin1(), kAnswer);
      EXPECT_TRUE(client.Request("studio.status", {}, 5000).value("ok").toBool());
    }
  }
}

TEST(RemoteClientTest, ConnectFailsWithoutAStudio) {
  quint16 freePort = 0;
  {
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
    freePort = probe.serverPort();
  }
  RemoteClient client;
  QString error;
  EXPECT_FALSE(client.Connect("127.0.0.1", freePort, {}, 5000, &error));
  EXPECT_EQ(client.LastConnectFailure(), RemoteClient::ConnectFailure::kUnreachable);
  EXPECT_TRUE(error.contains(QStringLiteral("127.0.0.1:%1").arg(freePort))) << error.toStdString();

  StandIn silent{QJsonValue(QJsonValue::Null), /*sayHello=*/false};
  EXPECT_FALSE(client.Connect("127.0.0.1", silent.Port(), {}, 300, &error));
  EXPECT_EQ(client.LastConnectFailure(), RemoteClient::ConnectFailure::kTimedOut);
  EXPECT_TRUE(error.contains("hello")) << error.toStdString();
  EXPECT_FALSE(client.Connected());
}

QString ErrorCode(const QJsonObject& response) {
  return response.value("error").toObject().value("code").toString();
}

TEST(RemoteClientTest, RequestsWithoutAnAnswerFail) {
  StandIn studio{QJsonValue(QJsonValue::Null)};
  studio.onMessage = [](QWebSocket* peer, const QJsonObject& message) {
    if (message.isEmpty()) {
      Send(peer, Refusal(QJsonValue::Null, "malformed", "not a JSON object"));
    } else if (Request(message) == "hang.up") {
      peer->close();
    }  // anything else stays unanswered
  };
  RemoteClient client;
  QString error;
  ASSERT_TRUE(client.Connect("127.0.0.1", studio.Port(), {}, 5000, &error)) << error.toStdString();

  const QJsonObject raw = client.SendRaw("{not json", 5000);
  ASSERT_EQ(studio.texts.size(), 1u);
  EXPECT_EQ(studio.texts[0], "{not json");
  EXPECT_FALSE(raw.value("ok").toBool(true));
  EXPECT_EQ(ErrorCode(raw), "malformed");
  EXPECT_TRUE(raw.value("id").isNull());

  const QJsonObject unanswered = client.Request("studio.status", {}, 200);
  EXPECT_FALSE(unanswered.value("ok").toBool(true));
  EXPECT_EQ(ErrorCode(unanswered), "failed");
  EXPECT_TRUE(client.Connected());

  // A closed connection ends the wait at once, not at the timeout.
  QElapsedTimer clock;
  clock.start();
  const QJsonObject dropped = client.Request("hang.up", {}, 30000);
  EXPECT_LT(clock.elapsed(), 10000);
  EXPECT_EQ(ErrorCode(dropped), "failed");
  EXPECT_FALSE(client.Connected());
  EXPECT_EQ(ErrorCode(client.Request("studio.status", {}, 5000)), "failed");
}

TEST(RemoteClientTest, WorksInsideARunningApplicationLoop) {
  StandIn studio{QJsonValue(QJsonValue::Null)};
  studio.onMessage = [](QWebSocket* peer, const QJsonObject& message) {
    Send(peer, Ok(message.value("id"), {{"onAir", 1}}));
  };
  RemoteClient client;
  bool connected = false;
  QJsonObject response;
  QTimer::singleShot(0, [&] {
    QString error;
    connected = client.Connect("127.0.0.1", studio.Port(), {}, 5000, &error);
    if (connected) response = client.Request("studio.status", {}, 5000);
    QCoreApplication::quit();
  });
  QTimer guard;
  guard.setSingleShot(true);
  QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(1); });
  guard.start(20000);
  EXPECT_EQ(QCoreApplication::exec(), 0);
  EXPECT_TRUE(connected);
  EXPECT_EQ(response.value("result").toObject().value("onAir").toInt(), 1);
}

}  // namespace
}  // namespace corvalind
