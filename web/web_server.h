// skarvel-web's server: the page, its assets and the live channel at /ws,
// all behind one token, and the robot held by one RobotLink whose readings
// are fanned out to every channel.
//
// Qt 6.4's HTTP server hands a WebSocket upgrade to its own WebSocket
// server only when handleRequest accepts the request; a request it refuses
// goes to missingHandler, which answers it, and the connection is closed.
// So the handshake is judged exactly like a page request, before any
// channel exists.
//
// Threading contract: everything here belongs to the thread that made the
// server (the application's). The robot's workers reach it only through
// queued calls; Shutdown stops them before the server goes away.
#ifndef SKARVEL_WEB_SERVER_H
#define SKARVEL_WEB_SERVER_H

#include <QAbstractHttpServer>
#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QJsonObject>
#include <QJsonValue>
#include <QPointer>
#include <QString>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "robot_link.h"

class QWebSocket;

// What a request may have, decided from the request alone.
enum class WebVerdict {
  Page,         // a file of the page
  Channel,      // a WebSocket handshake at /ws to let through
  Unauthorized, // no token or a wrong one: 401, nothing else
  Forbidden,    // a handshake from a foreign Origin: 403
  NotFound,     // the token is right, the name is not the page's
  NotAllowed,   // a method other than GET or HEAD
};

class WebServer : public QAbstractHttpServer {
  Q_OBJECT
public:
  // A message from a page larger than this is refused with an error.
  static constexpr qsizetype kMaxMessageBytes = 4096;
  // Qt closes a channel whose frame or message passes this, before it is
  // read whole into memory.
  static constexpr quint64 kMaxFrameBytes = 65536;
  // Messages one channel may send per second; past this it is closed.
  static constexpr int kMaxMessagesPerSecond = 50;
  // Channels open at once; further handshakes get 503.
  static constexpr int kMaxChannels = 100;
  // A channel with more than this unsent holds its state messages back
  // (only the latest is kept); past kMaxBacklogBytes it is dropped.
  static constexpr qint64 kStateBacklogBytes = 16 * 1024;
  static constexpr qint64 kMaxBacklogBytes = 1024 * 1024;

  // `token` must be a usable token (see IsUsableToken); `version` goes into
  // each hello.
  WebServer(QByteArray token, QString version, QObject *parent = nullptr);
  ~WebServer() override; // Shutdown()

  // Listens on `address`:`port` (0: a free port). The port listened on, or
  // 0 with `error` set.
  quint16 Listen(const QHostAddress &address, quint16 port, QString *error);
  // Starts polling the robot; false when its threads cannot be made.
  bool StartRobot();
  // Stops the wheels if someone was driving, closes every channel and stops
  // the robot's workers. Idempotent.
  void Shutdown();

  // Judges a request: token, Origin, method and path.
  WebVerdict Judge(const QHttpServerRequest &request) const;

  int ChannelCount() const { return static_cast<int>(m_channels.size()); }
  uint64_t Polls() const { return m_link.Polls(); }

protected:
  bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
  void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
  struct Channel {
    std::unique_ptr<QWebSocket> socket;
    QByteArray heldState; // the latest state not yet sent, if any
    QElapsedTimer window; // the flood count's current second
    int messagesInWindow = 0;
  };

  void AcceptChannels();
  // Counts a message against the channel's flood limit: false when it
  // must be dropped (the channel is then being closed).
  bool Admit(Channel &channel);
  void OnMessage(QWebSocket *socket, const QString &text);
  void OnClosed(QWebSocket *socket);
  void OnWritten(QWebSocket *socket);
  void OnReading();
  void OnReply(uint64_t ticket, const CommandOutcome &outcome);

  void Send(Channel &channel, const QJsonObject &message);
  void SendError(Channel &channel, const QJsonValue &id, const QString &text);
  void SendReply(Channel &channel, const QJsonValue &id, bool ok, const QString &text);
  void AnnounceRoles();
  QJsonObject RoleMessage(const char *type, const Channel &channel) const;
  void Handle(Channel &channel, const QJsonObject &message, const QJsonValue &id);
  void Queue(Channel &channel, const QJsonValue &id, RobotLink::CommandJob job,
             std::function<void()> onOk = {});
  bool TokenMatches(const QHttpServerRequest &request) const;

  const QByteArray m_token;
  const QString m_version;
  std::map<QWebSocket *, Channel> m_channels;
  QWebSocket *m_driver = nullptr;
  // Last commanded through this server; empty before any.
  QString m_bumperMode, m_servo;

  // A command's way back: the channel (gone if it closed) and the id.
  struct Pending {
    QPointer<QWebSocket> socket;
    QJsonValue id;
    std::function<void()> onOk;
  };
  std::map<uint64_t, Pending> m_pending;
  uint64_t m_nextTicket = 1;

  // The poller's latest reading, handed over under m_readingMutex; one
  // queued call at a time fetches it.
  std::mutex m_readingMutex;
  RobotReading m_reading;
  bool m_readingQueued = false;

  RobotLink m_link;
  bool m_shutDown = false;
};

#endif
