// skarvel-web's server in this process, against the robot simulator in
// this process on a port base of the test's own, at 127.0.0.1: who gets in,
// who may drive, when the wheels stop, and that watchers add no robot
// traffic. Every wait is for a condition, bounded, with events processed.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QWebSocket>
#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QTemporaryDir>
#include <csignal>
#include <fstream>

#include "kivrel.h"
#include "program.h"
#include "robot_ports.h"
#include "robot_proxies.h"
#include "simulator.h"
#include "web_server.h"

namespace {

// The robot's services at a port base of this run's own.
[[maybe_unused]] const testing::Environment *const kOwnPorts =
    testing::AddGlobalTestEnvironment(new OwnRobotPorts);

constexpr int kWaitMs = 10000;
const QByteArray kToken = "t0ken-of_the.test~";

bool WaitUntil(const std::function<bool()> &condition, int ms = kWaitMs) {
  QElapsedTimer clock;
  clock.start();
  while (!condition()) {
    if (clock.elapsed() > ms) return condition();
    QTest::qWait(5);
  }
  return true;
}

// A page's end of the channel: every message it got, parsed.
struct Page {
  QWebSocket socket;
  std::vector<QJsonObject> messages;

  explicit Page(const QString &origin = {}) : socket(origin) {
    QObject::connect(&socket, &QWebSocket::textMessageReceived, [this](const QString &text) {
      messages.push_back(QJsonDocument::fromJson(text.toUtf8()).object());
    });
  }
  void Send(const char *json) { socket.sendTextMessage(QString::fromUtf8(json)); }
  int Count(const char *type) const {
    int n = 0;
    for (const QJsonObject &m : messages)
      n += m.value("type").toString() == QLatin1String(type);
    return n;
  }
  QJsonObject Last(const char *type) const {
    for (auto it = messages.rbegin(); it != messages.rend(); ++it)
      if (it->value("type").toString() == QLatin1String(type)) return *it;
    return {};
  }
  bool WaitFor(const char *type, int count = 1) {
    return WaitUntil([&] { return Count(type) >= count; });
  }
};

class WebServerTest : public testing::Test {
protected:
  void SetUp() override {
    robotsim::SimulatorOptions o;
    o.realtime = false;
    o.bind_address = "127.0.0.1";
    o.ports = OwnPorts(robotsim::kDefaultPorts);
    auto sim = std::make_unique<robotsim::RobotSimulator>(o);
    ASSERT_TRUE(sim->Start()) << "the simulator could not take its ports";
    sim_ = std::move(sim);
    g_robotAddress.Set("127.0.0.1");
    server_ = std::make_unique<WebServer>(kToken, "test");
    port_ = server_->Listen(QHostAddress::LocalHost, 0, nullptr);
    ASSERT_NE(port_, 0);
    ASSERT_TRUE(server_->StartRobot());
  }
  void TearDown() override {
    server_.reset();
    if (sim_) sim_->Stop();
  }

  QString Url(const QString &query = "?token=" + kToken) const {
    return QStringLiteral("ws://127.0.0.1:%1/ws%2").arg(port_).arg(query);
  }
  bool Open(Page &page) {
    page.socket.open(QUrl(Url()));
    return page.WaitFor("hello");
  }
  robotsim::WorldState World() const { return sim_->Take().state; }
  bool WheelsAt(int32_t left, int32_t right) const {
    const robotsim::WorldState s = World();
    return s.velocity_commands > 0 && s.last_velocity_left == left &&
           s.last_velocity_right == right;
  }

  // Sends `request` as it stands and returns what came back until the
  // end of the response head, or until the server closed.
  QByteArray RawHead(const QByteArray &request, QTcpSocket &socket) {
    socket.connectToHost(QHostAddress::LocalHost, port_);
    if (!socket.waitForConnected(kWaitMs)) return {};
    socket.write(request);
    QByteArray got;
    WaitUntil([&] {
      got += socket.readAll();
      return got.contains("\r\n\r\n") || socket.state() == QAbstractSocket::UnconnectedState;
    });
    return got;
  }

  std::unique_ptr<robotsim::RobotSimulator> sim_;
  std::unique_ptr<WebServer> server_;
  quint16 port_ = 0;
};

TEST_F(WebServerTest, NothingOfThePageOrTheChannelWithoutTheTokenOrFromAForeignOrigin) {
  const QByteArray host = "Host: 127.0.0.1:" + QByteArray::number(port_) + "\r\n";
  const QByteArray handshake = "Connection: Upgrade\r\nUpgrade: websocket\r\n"
                               "Sec-WebSocket-Version: 13\r\n"
                               "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
  const QByteArray ownOrigin = "Origin: http://127.0.0.1:" + QByteArray::number(port_) + "\r\n";
  struct Case {
    const char *what;
    QByteArray request;
    const char *status;
    int channels; // open while the connection is
  };
  const Case cases[] = {
      {"page, no token", "GET / HTTP/1.1\r\n" + host + "\r\n", "401", 0},
      {"page, wrong token", "GET /?token=t0ken HTTP/1.1\r\n" + host + "\r\n", "401", 0},
      {"page, longer token", "GET /?token=" + kToken + "x HTTP/1.1\r\n" + host + "\r\n", "401", 0},
      {"asset, wrong cookie", "GET /app.js HTTP/1.1\r\n" + host + "Cookie: skarvel_token=x\r\n\r\n",
       "401", 0},
      {"asset, cookie",
       "GET /app.js HTTP/1.1\r\n" + host + "Cookie: a=1; skarvel_token=" + kToken + "\r\n\r\n",
       "200", 0},
      {"no such file", "GET /../page.qrc?token=" + kToken + " HTTP/1.1\r\n" + host + "\r\n", "404",
       0},
      {"post", "POST /?token=" + kToken + " HTTP/1.1\r\n" + host + "Content-Length: 0\r\n\r\n",
       "405", 0},
      {"channel, no token", "GET /ws HTTP/1.1\r\n" + host + handshake + ownOrigin + "\r\n", "401",
       0},
      {"channel, foreign origin",
       "GET /ws?token=" + kToken + " HTTP/1.1\r\n" + host + handshake +
           "Origin: http://evil.example\r\n\r\n",
       "403", 0},
      {"channel, origin that only starts like ours",
       "GET /ws?token=" + kToken + " HTTP/1.1\r\n" + host + handshake + ownOrigin.chopped(2) +
           ".evil.example\r\n\r\n",
       "403", 0},
      {"channel, token elsewhere",
       "GET /?token=" + kToken + " HTTP/1.1\r\n" + host + handshake + "\r\n", "404", 0},
      {"channel, cookie",
       "GET /ws HTTP/1.1\r\n" + host + handshake + ownOrigin + "Cookie: skarvel_token=" + kToken +
           "\r\n\r\n",
       "101", 1},
      {"channel, token, no origin",
       "GET /ws?token=" + kToken + " HTTP/1.1\r\n" + host + handshake + "\r\n", "101", 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    QTcpSocket socket;
    const QByteArray head = RawHead(c.request, socket);
    EXPECT_TRUE(head.startsWith("HTTP/1.1 " + QByteArray(c.status))) << head.toStdString();
    EXPECT_EQ(server_->ChannelCount(), c.channels);
    if (QByteArray(c.status) != "200") {
      EXPECT_FALSE(head.contains("<html"));
    }
    socket.abort();
    ASSERT_TRUE(WaitUntil([&] { return server_->ChannelCount() == 0; }));
  }

  // The page itself sets the cookie the assets and the channel then use.
  QTcpSocket socket;
  const QByteArray head =
      RawHead("GET /?token=" + kToken + " HTTP/1.1\r\n" + host + "\r\n", socket);
  EXPECT_TRUE(head.startsWith("HTTP/1.1 200"));
  EXPECT_TRUE(head.contains("\r\nSet-Cookie: skarvel_token=" + kToken +
                            "; HttpOnly; SameSite=Strict; Path=/\r\n"));

  // A browser's own client is refused too, and never opens.
  Page foreign("http://evil.example");
  foreign.socket.open(QUrl(Url()));
  EXPECT_TRUE(
      WaitUntil([&] { return foreign.socket.error() != QAbstractSocket::UnknownSocketError; }));
  EXPECT_EQ(foreign.Count("hello"), 0);
}

TEST_F(WebServerTest, OnlyTheDriverMovesTheWheelsAndTheyStopWhenItFallsSilent) {
  Page a, b;
  ASSERT_TRUE(Open(a));
  ASSERT_TRUE(Open(b));
  EXPECT_EQ(a.Last("hello").value("role").toString(), "watcher");
  EXPECT_FALSE(a.Last("hello").value("driverTaken").toBool());

  // A watcher's commands are refused at once: nothing is queued for the
  // robot, so the simulator must have seen nothing by the time of the error.
  b.Send(R"({"type":"drive","dir":"forward","id":1})");
  b.Send(R"({"type":"servo","on":false,"id":"s"})");
  ASSERT_TRUE(b.WaitFor("error", 2));
  EXPECT_EQ(b.Last("error").value("id").toString(), "s");
  EXPECT_EQ(World().velocity_commands, 0);
  EXPECT_EQ(sim_->CallCount("ServoOff"), 0u);

  a.Send(R"({"type":"take","id":2})");
  ASSERT_TRUE(a.WaitFor("role"));
  ASSERT_TRUE(b.WaitFor("role"));
  EXPECT_EQ(a.Last("role").value("role").toString(), "driver");
  EXPECT_EQ(b.Last("role").value("role").toString(), "watcher");
  EXPECT_TRUE(b.Last("role").value("driverTaken").toBool());
  b.Send(R"({"type":"take","id":3})");
  ASSERT_TRUE(b.WaitFor("reply"));
  EXPECT_FALSE(b.Last("reply").value("ok").toBool());

  // Held: keep-alives every 100 ms keep the wheels turning.
  a.Send(R"({"type":"drive","dir":"forward"})");
  ASSERT_TRUE(WaitUntil([&] { return WheelsAt(200, 200); }));
  for (int i = 0; i < 8; ++i) {
    QTest::qWait(100);
    a.Send(R"({"type":"drive","dir":"forward"})");
  }
  EXPECT_TRUE(WheelsAt(200, 200));

  // Silence: zero once, after at most the repeats that fit in the server's
  // keep-alive (three at its pace; a late thread sends fewer, never more),
  // then nothing more.
  const int64_t atLastKeepAlive = World().velocity_commands;
  QElapsedTimer silence;
  silence.start();
  ASSERT_TRUE(WaitUntil([&] { return WheelsAt(0, 0); }));
  EXPECT_GE(silence.elapsed(), 250);
  EXPECT_LE(World().velocity_commands - atLastKeepAlive, 6);
  const int64_t commands = World().velocity_commands;
  QTest::qWait(500);
  EXPECT_EQ(World().velocity_commands, commands);

  // Turning, then the driver's page goes away while holding.
  a.Send(R"({"type":"drive","dir":"left"})");
  ASSERT_TRUE(WaitUntil([&] { return WheelsAt(-100, 100); }));
  a.socket.close();
  ASSERT_TRUE(WaitUntil([&] { return WheelsAt(0, 0); }));
  ASSERT_TRUE(WaitUntil([&] { return !b.Last("role").value("driverTaken").toBool(); }));
}

TEST_F(WebServerTest, CommandsAnswerWithTheRobotsReplyAndBadInputOnlyWithAnError) {
  Page page;
  ASSERT_TRUE(Open(page));
  page.Send(R"({"type":"take"})");
  ASSERT_TRUE(page.WaitFor("role"));
  page.Send(R"({"type":"odometry","x":120,"y":-40,"theta":30,"id":7})");
  ASSERT_TRUE(page.WaitFor("reply", 2));
  EXPECT_EQ(page.Last("reply").value("id").toInt(), 7);
  EXPECT_TRUE(page.Last("reply").value("ok").toBool());
  ASSERT_TRUE(WaitUntil([&] {
    const QJsonObject p = page.Last("state").value("position").toObject();
    return p.value("x").toInt() == 120 && p.value("y").toInt() == -40 &&
           p.value("theta").toInt() == 30;
  }));
  const QJsonObject state = page.Last("state");
  EXPECT_EQ(state.value("power").toArray().size(), 16);
  EXPECT_EQ(state.value("sonar").toArray().size(), 7);
  for (const char *service : {"motorDriver", "bumper", "ultraSonic", "powerModule", "emergency"})
    EXPECT_TRUE(state.value("services").toObject().value(service).toBool()) << service;

  page.Send(R"({"type":"bumperMode","mode":"off","id":8})");
  ASSERT_TRUE(page.WaitFor("reply", 3));
  EXPECT_TRUE(page.Last("reply").value("ok").toBool());
  EXPECT_FALSE(World().bumper_dir_mode);
  ASSERT_TRUE(WaitUntil([&] { return page.Last("state").value("bumperMode") == "off"; }));

  const std::string longText =
      R"({"type":"servo","on":true,"pad":")" + std::string(5000, 'x') + R"("})";
  const std::string bad[] = {
      "{",
      "[1,2]",
      R"({"type":"fly","id":1})",
      R"({"id":2})",
      R"({"type":"servo","on":"yes","id":3})",
      R"({"type":"power","module":13,"on":true,"id":4})",
      R"({"type":"odometry","x":1.5,"y":0,"id":5})",
      R"({"type":"drive","dir":"up","id":6})",
      R"({"type":"servo","on":true,"id":{"x":1}})",
      longText,
  };
  const int replies = page.Count("reply");
  for (const std::string &text : bad)
    page.Send(text.c_str());
  ASSERT_TRUE(page.WaitFor("error", static_cast<int>(std::size(bad))));
  page.Send(R"({"type":"servo","on":true,"id":"last"})");
  ASSERT_TRUE(page.WaitFor("reply", replies + 1));
  EXPECT_EQ(page.Count("error"), static_cast<int>(std::size(bad)));
  EXPECT_EQ(page.Last("reply").value("id").toString(), "last");
  EXPECT_EQ(sim_->CallCount("ServoOn"), 1u);
  EXPECT_EQ(sim_->CallCount("PowerUp"), 0u);

  // A flood closes the channel as a breach of policy.
  for (int i = 0; i < 60; ++i)
    page.Send(R"({"type":"take"})");
  ASSERT_TRUE(WaitUntil([&] { return page.socket.state() == QAbstractSocket::UnconnectedState; }));
  EXPECT_EQ(page.socket.closeCode(), QWebSocketProtocol::CloseCodePolicyViolated);
}

TEST_F(WebServerTest, ARobotThatStopsAnsweringGoesDarkKeepsItsReadingsAndComesBack) {
  Page page;
  ASSERT_TRUE(Open(page));
  page.Send(R"({"type":"take"})");
  page.Send(R"({"type":"odometry","x":-321,"y":77,"theta":null})");
  const auto all = [&](const char *group, bool value) {
    const QJsonObject o = page.Last("state").value(group).toObject();
    for (const char *s : {"motorDriver", "bumper", "ultraSonic", "powerModule", "emergency"})
      if (o.value(s).toBool() != value) return false;
    return true;
  };
  const auto atOdometry = [&] {
    const QJsonObject p = page.Last("state").value("position").toObject();
    return p.value("x").toInt() == -321 && p.value("y").toInt() == 77;
  };
  ASSERT_TRUE(WaitUntil([&] { return atOdometry() && all("services", true); }));
  const QJsonValue power = page.Last("state").value("power");

  sim_->Stop();
  ASSERT_TRUE(WaitUntil([&] { return all("services", false) && all("stale", true); }));
  EXPECT_TRUE(atOdometry());
  EXPECT_EQ(page.Last("state").value("power"), power);

  ASSERT_TRUE(sim_->Start());
  ASSERT_TRUE(WaitUntil([&] { return all("services", true) && all("stale", false); }));
  EXPECT_TRUE(atOdometry());
}

TEST_F(WebServerTest, FiftyWatchersCostTheRobotNoMoreConnectionsThanOne) {
  std::vector<std::unique_ptr<Page>> pages;
  for (int i = 0; i < 50; ++i) {
    pages.push_back(std::make_unique<Page>());
    pages.back()->socket.open(QUrl(Url()));
  }
  ASSERT_TRUE(WaitUntil([&] {
    for (const auto &p : pages)
      if (p->Count("state") < 3) return false;
    return true;
  }));
  // Six operations a pass, one connection each, however many watch; the
  // pass in progress when counting starts or ends may add its six.
  const uint64_t polls0 = server_->Polls();
  const uint64_t accepted0 = sim_->Connections().accepted;
  ASSERT_TRUE(WaitUntil([&] { return server_->Polls() >= polls0 + 20; }));
  const uint64_t accepted = sim_->Connections().accepted - accepted0;
  const uint64_t polls = server_->Polls() - polls0;
  EXPECT_LE(accepted, 6 * (polls + 1));
  EXPECT_GE(accepted, 6 * (polls - 1));
  for (const auto &p : pages)
    EXPECT_GE(p->Count("state"), 10);
}

TEST_F(WebServerTest, TheProgramPrintsOnlyItsAddressAndStopsTheWheelsOnSigterm) {
  const std::string path = SKARVEL_WEB_PATH;
  struct Usage {
    std::vector<std::string> args;
    const char *named;
  };
  const Usage usages[] = {
      {{"--address", "127.1"}, "'127.1'"},
      {{"--address=0x7f.0.0.1"}, "'0x7f.0.0.1'"},
      {{"--listen", "127.0.0.1"}, "'127.0.0.1'"},
      {{"--listen", "127.000.000.001:80"}, "'127.000.000.001:80'"},
      {{"--port-base", "65530"}, "'65530'"},
      {{"--token", "a b"}, "--token"},
      {{"--token", "abc", "--token-file", "/dev/null"}, "once"},
      {{"--colour"}, "'--colour'"},
  };
  for (const Usage &u : usages) {
    const ProgramRun r = RunProgram(path, u.args);
    EXPECT_EQ(r.status, 2) << u.named;
    EXPECT_NE(r.err.find(u.named), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("(see skarvel-web --help)"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }

  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const std::string tokenFile = dir.filePath("token").toStdString();
  std::ofstream(tokenFile) << "Secret-from.file_1\n";
  // A port the system has just found free; the race with another program
  // taking it meanwhile is the system's to lose.
  quint16 port = 0;
  {
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
    port = probe.serverPort();
  }
  const std::string address = "127.0.0.1:" + std::to_string(port);
  Program program(path, {"--listen", address, "--port-base", std::to_string(g_robotPortBase.load()),
                         "--token-file", tokenFile});
  ASSERT_TRUE(program.WaitForOutput("http://" + address + "/?token=Secret-from.file_1\n",
                                    std::chrono::seconds(10)));

  Page page;
  page.socket.open(
      QUrl(QString::fromStdString("ws://" + address + "/ws?token=Secret-from.file_1")));
  ASSERT_TRUE(page.WaitFor("hello"));
  page.Send(R"({"type":"take"})");
  page.Send(R"({"type":"drive","dir":"backward"})");
  ASSERT_TRUE(WaitUntil([&] { return WheelsAt(-200, -200); }));
  page.Send(R"({"type":"drive","dir":"backward"})");
  QTest::qWait(50);
  program.Signal(SIGTERM);
  const ProgramRun run = program.Finish();
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(WheelsAt(0, 0));
  // One line, and the token never again.
  EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << run.out;
  EXPECT_EQ(run.err.find("Secret-from.file_1"), std::string::npos) << run.err;
}

} // namespace

int main(int argc, char **argv) {
  kivrel_initialize();
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
