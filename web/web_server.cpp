#include "web_server.h"

#include <QFile>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMetaObject>
#include <QTcpServer>
#include <QUrlQuery>
#include <QWebSocket>
#include <cmath>
#include <utility>

// The page's files, compiled in (page.qrc); outside any namespace, as Qt
// asks.
static void InitPageResources() { Q_INIT_RESOURCE(page); }

namespace {

constexpr char kCookieName[] = "skarvel_token";
constexpr char kChannelPath[] = "/ws";
constexpr char kResourceDir[] = ":/page/";

using Status = QHttpServerResponder::StatusCode;

const char *const kServiceKeys[kRobotServiceCount] = {"motorDriver", "bumper", "ultraSonic",
                                                      "powerModule", "emergency"};

// The panel's drive speeds, mm/s for the left and right wheel.
struct Direction {
  const char *name;
  int32_t left, right;
};
constexpr Direction kDirections[] = {
    {"forward", 200, 200},
    {"backward", -200, -200},
    {"left", -100, 100},
    {"right", 100, -100},
};

// Compares in time that depends only on the expected token's length, so
// that the answer's timing tells nothing of how much of a guess was right.
bool SameToken(const QByteArray &given, const QByteArray &expected) {
  unsigned char diff = given.size() == expected.size() ? 0 : 1;
  for (qsizetype i = 0; i < expected.size(); ++i)
    diff |= static_cast<unsigned char>(expected[i] ^ (i < given.size() ? given[i] : 0));
  return diff == 0;
}

// The value of the cookie `name` in a Cookie header ("a=1; b=2").
QByteArray CookieValue(const QByteArray &header, const QByteArray &name) {
  for (const QByteArray &part : header.split(';')) {
    const QByteArray pair = part.trimmed();
    const qsizetype eq = pair.indexOf('=');
    if (eq > 0 && pair.left(eq) == name) return pair.mid(eq + 1);
  }
  return {};
}

bool IsUpgrade(const QHttpServerRequest &request) {
  return request.value("upgrade").compare("websocket", Qt::CaseInsensitive) == 0;
}

// The file a path names: "/" is the page itself; other names are plain
// file names of the page, never a path into the resources.
QString FileName(const QString &path) {
  if (path == QLatin1String("/")) return QStringLiteral("index.html");
  const QString name = path.mid(1);
  if (!path.startsWith('/') || name.isEmpty() || name.startsWith('.')) return {};
  for (QChar c : name)
    if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != '.' && c != '-' && c != '_') return {};
  return name;
}

QByteArray MimeType(const QString &name) {
  struct Type {
    const char *suffix, *mime;
  };
  static constexpr Type kTypes[] = {
      {".html", "text/html; charset=utf-8"},
      {".js", "text/javascript; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},
      {".svg", "image/svg+xml"},
      {".png", "image/png"},
      {".json", "application/json"},
      {".ico", "image/x-icon"},
  };
  for (const Type &t : kTypes)
    if (name.endsWith(QLatin1String(t.suffix))) return t.mime;
  return "application/octet-stream";
}

// An integer field of a message, within 32 bits, or nothing.
std::optional<int32_t> IntField(const QJsonObject &message, const char *key) {
  const QJsonValue v = message.value(QLatin1String(key));
  if (!v.isDouble()) return std::nullopt;
  const double d = v.toDouble();
  if (d != std::floor(d) || d < INT32_MIN || d > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(d);
}

QJsonArray Array(const int32_t *values, size_t count) {
  QJsonArray a;
  for (size_t i = 0; i < count; ++i)
    a.append(values[i]);
  return a;
}

QByteArray StateJson(const RobotReading &r, const QString &bumperMode, const QString &servo) {
  QJsonObject services, stale;
  for (int s = 0; s < kRobotServiceCount; ++s) {
    services.insert(QLatin1String(kServiceKeys[s]), r.lamps[s]);
    stale.insert(QLatin1String(kServiceKeys[s]), r.stale[s]);
  }
  const QJsonObject state{
      {"type", "state"},
      {"seq", static_cast<qint64>(r.seq)},
      {"time", static_cast<qint64>(r.timeMs)},
      {"services", services},
      {"power", Array(r.power.data(), r.power.size())},
      {"position", QJsonObject{{"x", r.x}, {"y", r.y}, {"theta", r.theta}}},
      {"encoders", QJsonObject{{"left", r.encoderLeft}, {"right", r.encoderRight}}},
      {"bumpers", QJsonObject{{"frontLeft", r.frontLeft}, {"frontRight", r.frontRight}}},
      {"bumperMode", bumperMode.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(bumperMode)},
      {"servo", servo.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(servo)},
      {"emergencyKey", r.emergencyKey},
      {"sonar", Array(r.sonar.data(), r.sonar.size())},
      {"stale", stale},
  };
  return QJsonDocument(state).toJson(QJsonDocument::Compact);
}

// What a command's connection tells the operator.
CommandOutcome Reached(int32_t connectStatus, RobotService service, const char *what) {
  if (connectStatus == 0) return {true, std::string("done: ") + what, service};
  return {false, std::string("the robot did not answer: ") + what + " not sent", service};
}

} // namespace

WebServer::WebServer(QByteArray token, QString version, QObject *parent)
    : QAbstractHttpServer(parent), m_token(std::move(token)), m_version(std::move(version)),
      m_link(
          [this](const RobotReading &r) {
            std::lock_guard<std::mutex> lock(m_readingMutex);
            m_reading = r;
            // One queued call stands for every reading made before it runs.
            if (m_readingQueued) return;
            m_readingQueued = true;
            QMetaObject::invokeMethod(this, &WebServer::OnReading, Qt::QueuedConnection);
          },
          [this](uint64_t ticket, const CommandOutcome &outcome) {
            QMetaObject::invokeMethod(
                this, [this, ticket, outcome] { OnReply(ticket, outcome); }, Qt::QueuedConnection);
          }) {
  InitPageResources();
  connect(this, &QAbstractHttpServer::newWebSocketConnection, this, &WebServer::AcceptChannels);
}

WebServer::~WebServer() { Shutdown(); }

quint16 WebServer::Listen(const QHostAddress &address, quint16 port, QString *error) {
  auto server = std::make_unique<QTcpServer>();
  // QTcpServer sets SO_REUSEADDR on this platform by itself.
  if (!server->listen(address, port)) {
    if (error) *error = server->errorString();
    return 0;
  }
  const quint16 bound = server->serverPort();
  bind(server.release()); // parented to this
  return bound;
}

bool WebServer::StartRobot() { return m_link.Start(); }

void WebServer::Shutdown() {
  if (m_shutDown) return;
  m_shutDown = true;
  // Stop sends the wheels zero first if they were turning.
  m_link.Stop();
  m_driver = nullptr;
  for (auto &[socket, channel] : m_channels) {
    socket->disconnect(this);
    socket->close(QWebSocketProtocol::CloseCodeGoingAway);
  }
  m_channels.clear();
}

bool WebServer::TokenMatches(const QHttpServerRequest &request) const {
  const QUrlQuery query = request.query();
  if (query.hasQueryItem(QStringLiteral("token")))
    return SameToken(query.queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded).toUtf8(),
                     m_token);
  return SameToken(CookieValue(request.value("cookie"), kCookieName), m_token);
}

WebVerdict WebServer::Judge(const QHttpServerRequest &request) const {
  if (!TokenMatches(request)) return WebVerdict::Unauthorized;
  const QString path = request.url().path();
  if (IsUpgrade(request)) {
    if (path != QLatin1String(kChannelPath)) return WebVerdict::NotFound;
    // A browser always names the page that opens a channel; a page of
    // another site must not ride on this browser's cookie.
    const QByteArray origin = request.value("origin");
    const QByteArray host = request.value("host");
    if (!origin.isEmpty() &&
        (host.isEmpty() || origin.compare("http://" + host, Qt::CaseInsensitive) != 0))
      return WebVerdict::Forbidden;
    return WebVerdict::Channel;
  }
  if (request.method() != QHttpServerRequest::Method::Get &&
      request.method() != QHttpServerRequest::Method::Head)
    return WebVerdict::NotAllowed;
  const QString name = FileName(path);
  if (name.isEmpty() || !QFile::exists(kResourceDir + name)) return WebVerdict::NotFound;
  return WebVerdict::Page;
}

bool WebServer::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) {
  const WebVerdict verdict = Judge(request);
  if (verdict == WebVerdict::Channel) {
    if (m_shutDown || ChannelCount() >= kMaxChannels) return false;
    return true; // Qt's WebSocket server takes the connection now
  }
  // A refused handshake is answered by missingHandler, after which Qt
  // closes the connection.
  if (IsUpgrade(request) || verdict != WebVerdict::Page) return false;

  QFile file(kResourceDir + FileName(request.url().path()));
  if (!file.open(QIODevice::ReadOnly)) return false;
  const QByteArray body =
      request.method() == QHttpServerRequest::Method::Head ? QByteArray() : file.readAll();
  const QByteArray cookie =
      QByteArray(kCookieName) + '=' + m_token + "; HttpOnly; SameSite=Strict; Path=/";
  makeResponder(request, socket)
      .write(body,
             {{"Content-Type", MimeType(file.fileName())},
              {"Set-Cookie", cookie},
              {"Cache-Control", "no-store"},
              {"X-Content-Type-Options", "nosniff"},
              {"X-Frame-Options", "DENY"},
              {"Referrer-Policy", "no-referrer"}},
             Status::Ok);
  return true;
}

void WebServer::missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) {
  Status status = Status::NotFound;
  switch (Judge(request)) {
  case WebVerdict::Unauthorized:
    status = Status::Unauthorized;
    break;
  case WebVerdict::Forbidden:
    status = Status::Forbidden;
    break;
  case WebVerdict::NotAllowed:
    status = Status::MethodNotAllowed;
    break;
  case WebVerdict::Channel:
    status = Status::ServiceUnavailable; // too many channels, or stopping
    break;
  case WebVerdict::Page:
  case WebVerdict::NotFound:
    break;
  }
  makeResponder(request, socket)
      .write(
          QByteArray(),
          {{"Cache-Control", "no-store"}, {"Content-Type", "text/plain"}, {"Connection", "close"}},
          status);
  // A refused client keeps no connection open here: closed once the answer
  // has gone out, and told so, or a keep-alive client would send its next
  // request on a connection that is going away.
  socket->disconnectFromHost();
}

// ---- Channels

void WebServer::AcceptChannels() {
  while (hasPendingWebSocketConnections()) {
    std::unique_ptr<QWebSocket> socket = nextPendingWebSocketConnection();
    if (!socket) break;
    if (m_shutDown) {
      socket->close(QWebSocketProtocol::CloseCodeGoingAway);
      continue;
    }
    QWebSocket *s = socket.get();
    s->setMaxAllowedIncomingFrameSize(kMaxFrameBytes);
    s->setMaxAllowedIncomingMessageSize(kMaxFrameBytes);
    connect(s, &QWebSocket::textMessageReceived, this,
            [this, s](const QString &text) { OnMessage(s, text); });
    connect(s, &QWebSocket::binaryMessageReceived, this, [this, s](const QByteArray &) {
      auto it = m_channels.find(s);
      if (it != m_channels.end() && Admit(it->second))
        SendError(it->second, {}, "binary messages are not read");
    });
    connect(s, &QWebSocket::disconnected, this, [this, s] { OnClosed(s); });
    connect(s, &QWebSocket::bytesWritten, this, [this, s] { OnWritten(s); });
    Channel &channel = m_channels[s];
    channel.socket = std::move(socket);
    channel.window.start();
    Send(channel, RoleMessage("hello", channel));
  }
}

QJsonObject WebServer::RoleMessage(const char *type, const Channel &channel) const {
  QJsonObject m{{"type", type},
                {"role", m_driver == channel.socket.get() ? "driver" : "watcher"},
                {"driverTaken", m_driver != nullptr}};
  if (QLatin1String(type) == QLatin1String("hello")) m.insert("version", m_version);
  return m;
}

void WebServer::AnnounceRoles() {
  for (auto &[socket, channel] : m_channels)
    Send(channel, RoleMessage("role", channel));
}

void WebServer::Send(Channel &channel, const QJsonObject &message) {
  channel.socket->sendTextMessage(
      QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
}

void WebServer::SendError(Channel &channel, const QJsonValue &id, const QString &text) {
  QJsonObject m{{"type", "error"}, {"text", text}};
  if (!id.isUndefined()) m.insert("id", id);
  Send(channel, m);
}

void WebServer::SendReply(Channel &channel, const QJsonValue &id, bool ok, const QString &text) {
  QJsonObject m{{"type", "reply"}, {"ok", ok}, {"text", text}};
  if (!id.isUndefined()) m.insert("id", id);
  Send(channel, m);
}

void WebServer::OnClosed(QWebSocket *socket) {
  auto it = m_channels.find(socket);
  if (it == m_channels.end()) return;
  const bool wasDriver = m_driver == socket;
  if (wasDriver) {
    m_link.Halt();
    m_driver = nullptr;
  }
  // Not deleted inside its own signal.
  it->second.socket.release()->deleteLater();
  m_channels.erase(it);
  if (wasDriver) AnnounceRoles();
}

void WebServer::OnWritten(QWebSocket *socket) {
  auto it = m_channels.find(socket);
  if (it == m_channels.end()) return;
  Channel &channel = it->second;
  if (!channel.heldState.isEmpty() && socket->bytesToWrite() <= kStateBacklogBytes) {
    socket->sendTextMessage(QString::fromUtf8(channel.heldState));
    channel.heldState.clear();
  }
}

void WebServer::OnReading() {
  RobotReading r;
  {
    std::lock_guard<std::mutex> lock(m_readingMutex);
    r = m_reading;
    m_readingQueued = false;
  }
  if (m_channels.empty()) return;
  const QByteArray json = StateJson(r, m_bumperMode, m_servo);
  const QString text = QString::fromUtf8(json);
  std::vector<QWebSocket *> dropped;
  for (auto &[socket, channel] : m_channels) {
    const qint64 backlog = socket->bytesToWrite();
    if (backlog > kMaxBacklogBytes) {
      dropped.push_back(socket);
    } else if (backlog > kStateBacklogBytes) {
      // A slow page: only the latest state waits for it.
      channel.heldState = json;
    } else {
      channel.heldState.clear();
      socket->sendTextMessage(text);
    }
  }
  for (QWebSocket *socket : dropped)
    socket->abort(); // disconnected follows, and OnClosed
}

bool WebServer::Admit(Channel &channel) {
  if (channel.window.elapsed() >= 1000) {
    channel.window.restart();
    channel.messagesInWindow = 0;
  }
  if (++channel.messagesInWindow <= kMaxMessagesPerSecond) return true;
  if (channel.messagesInWindow == kMaxMessagesPerSecond + 1) {
    SendError(channel, {}, "too many messages: at most 50 a second");
    channel.socket->close(QWebSocketProtocol::CloseCodePolicyViolated, "flood");
  }
  return false;
}

void WebServer::OnMessage(QWebSocket *socket, const QString &text) {
  auto it = m_channels.find(socket);
  if (it == m_channels.end()) return;
  Channel &channel = it->second;
  if (!Admit(channel)) return;
  const QByteArray bytes = text.toUtf8();
  if (bytes.size() > kMaxMessageBytes) {
    SendError(channel, {}, "message too long: at most 4096 bytes");
    return;
  }
  QJsonParseError error{};
  const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
  if (error.error != QJsonParseError::NoError || !doc.isObject()) {
    SendError(channel, {}, "not a JSON object");
    return;
  }
  const QJsonObject message = doc.object();
  const QJsonValue id = message.value("id");
  if (!id.isUndefined() && !id.isDouble() && !id.isString()) {
    SendError(channel, {}, "id must be a number or a string");
    return;
  }
  Handle(channel, message, id);
}

void WebServer::Handle(Channel &channel, const QJsonObject &message, const QJsonValue &id) {
  const QString type = message.value("type").toString();
  QWebSocket *socket = channel.socket.get();
  const bool driver = m_driver == socket;

  if (type == QLatin1String("take")) {
    if (m_driver != nullptr && !driver) {
      SendReply(channel, id, false, "another page has control");
      return;
    }
    SendReply(channel, id, true, "you have control");
    if (!driver) {
      m_driver = socket;
      AnnounceRoles();
    }
    return;
  }
  static const QStringList kCommands = {"release", "drive",      "servo",
                                        "power",   "bumperMode", "odometry"};
  if (!kCommands.contains(type)) {
    SendError(channel, id, type.isEmpty() ? "type missing" : "unknown type '" + type + "'");
    return;
  }
  // Only the driver commands the robot: a page that merely watches changes
  // nothing, whatever it sends.
  if (!driver) {
    SendError(channel, id, "only the driver may command the robot; take control first");
    return;
  }

  if (type == QLatin1String("release")) {
    m_link.Halt();
    m_driver = nullptr;
    SendReply(channel, id, true, "control released");
    AnnounceRoles();
  } else if (type == QLatin1String("drive")) {
    const QString dir = message.value("dir").toString();
    if (dir == QLatin1String("stop")) {
      m_link.Halt();
      return;
    }
    for (const Direction &d : kDirections) {
      if (dir == QLatin1String(d.name)) {
        m_link.Drive(d.left, d.right);
        return;
      }
    }
    m_link.Halt(); // a driver's garbled drive is no keep-alive
    SendError(channel, id, "dir must be forward, backward, left, right or stop");
  } else if (type == QLatin1String("servo")) {
    const QJsonValue on = message.value("on");
    if (!on.isBool()) {
      SendError(channel, id, "on must be true or false");
      return;
    }
    const bool up = on.toBool();
    Queue(
        channel, id,
        [up](RobotLink::CommandProxies &p) {
          up ? p.motor.ServoOn() : p.motor.ServoOff();
          return Reached(p.motor.m_connectStatus, RobotService::MotorDriver,
                         up ? "ServoOn" : "ServoOff");
        },
        [this, up] { m_servo = up ? "on" : "off"; });
  } else if (type == QLatin1String("power")) {
    const std::optional<int32_t> module = IntField(message, "module");
    const QJsonValue on = message.value("on");
    if (!module || *module < static_cast<int32_t>(PowerModuleId::Drive) ||
        *module > static_cast<int32_t>(PowerModuleId::Spare4) || !on.isBool()) {
      SendError(channel, id, "power needs module (1 to 12) and on (true or false)");
      return;
    }
    const auto m = static_cast<PowerModuleId>(*module);
    const bool up = on.toBool();
    Queue(channel, id, [m, up](RobotLink::CommandProxies &p) {
      up ? p.power.PowerUp(m) : p.power.PowerDown(m);
      // The controller answers switching with nothing, not even whether
      // the connection was made.
      return CommandOutcome{true, up ? "PowerUp sent" : "PowerDown sent", std::nullopt};
    });
  } else if (type == QLatin1String("bumperMode")) {
    const QString mode = message.value("mode").toString();
    if (mode != QLatin1String("off") && mode != QLatin1String("dir")) {
      SendError(channel, id, "mode must be off or dir");
      return;
    }
    const bool dirMode = mode == QLatin1String("dir");
    Queue(
        channel, id,
        [dirMode](RobotLink::CommandProxies &p) {
          dirMode ? p.bumper.SetBumperDirMode() : p.bumper.SetBumperOffMode();
          return Reached(p.bumper.m_connectStatus, RobotService::Bumper,
                         dirMode ? "SetBumperDirMode" : "SetBumperOffMode");
        },
        [this, mode] { m_bumperMode = mode; });
  } else { // odometry
    const std::optional<int32_t> x = IntField(message, "x"), y = IntField(message, "y");
    const QJsonValue thetaValue = message.value("theta");
    const std::optional<int32_t> theta = IntField(message, "theta");
    const bool noTheta = thetaValue.isUndefined() || thetaValue.isNull();
    if (!x || !y || (!noTheta && !theta)) {
      SendError(channel, id, "odometry needs whole numbers x, y and theta (or null)");
      return;
    }
    Queue(channel, id, [x = *x, y = *y, theta, noTheta](RobotLink::CommandProxies &p) {
      if (noTheta) {
        p.motor.ChangePosition2(x, y);
        return Reached(p.motor.m_connectStatus, RobotService::MotorDriver, "ChangePosition2");
      }
      p.motor.ChangePosition(x, y, *theta);
      return Reached(p.motor.m_connectStatus, RobotService::MotorDriver, "ChangePosition");
    });
  }
}

void WebServer::Queue(Channel &channel, const QJsonValue &id, RobotLink::CommandJob job,
                      std::function<void()> onOk) {
  const uint64_t ticket = m_nextTicket++;
  m_pending[ticket] = {channel.socket.get(), id, std::move(onOk)};
  if (!m_link.Command(ticket, std::move(job))) {
    m_pending.erase(ticket);
    SendReply(channel, id, false, "too many commands waiting; try again");
  }
}

void WebServer::OnReply(uint64_t ticket, const CommandOutcome &outcome) {
  auto it = m_pending.find(ticket);
  if (it == m_pending.end()) return;
  Pending pending = std::move(it->second);
  m_pending.erase(it);
  if (outcome.ok && pending.onOk) pending.onOk();
  if (!pending.socket) return;
  auto channel = m_channels.find(pending.socket.data());
  if (channel == m_channels.end()) return;
  SendReply(channel->second, pending.id, outcome.ok, QString::fromStdString(outcome.text));
}
