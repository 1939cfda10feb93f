// skarvel-web's hold on the robot: one poller that reads the five services
// at the panel's pace, one drive worker that keeps the wheels turning only
// while keep-alives come, and one worker for one-shot commands. Built on the
// panel's robot access layer; no Qt here.
//
// Threading contract:
// - Start, Stop and the destructor belong to the owner's thread. Drive,
//   Halt, Command, Polls and Lamps may be called from any thread.
// - Each worker has proxies of its own, so the result an operation leaves
//   in its proxy is that operation's, never another thread's.
// - The reading sink runs on the poller thread once per pass (and at once
//   when a service stops answering mid-pass), the reply sink
//   on the command thread once per command: both must hand their value on
//   (a queued call) and return quickly.
// - Stop sends the wheels zero first when they were turning, then wakes and
//   joins every worker; after it nothing calls the robot and the sinks are
//   not called again.
#ifndef SKARVEL_WEB_ROBOT_LINK_H
#define SKARVEL_WEB_ROBOT_LINK_H

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "robot_proxies.h"

enum class RobotService : int { MotorDriver, Bumper, UltraSonic, PowerModule, Emergency };
inline constexpr int kRobotServiceCount = 5;

// What one pass of the poller read, as one copyable value.
struct RobotReading {
  static constexpr int kSonarShown = 7; // the eighth value is a sample count
  uint64_t seq = 0;                     // one more for each reading handed on
  int64_t timeMs = 0;                   // since the epoch
  // Lit: the last operation on the service connected.
  std::array<bool, kRobotServiceCount> lamps{};
  // The service's last read failed: its readings are the ones before.
  std::array<bool, kRobotServiceCount> stale{};
  std::array<int32_t, PowerModuleProxy::kStatusValues> power{};
  int32_t x = 0, y = 0, theta = 0;
  int32_t encoderLeft = 0, encoderRight = 0;
  int32_t frontLeft = 0, frontRight = 0;
  int32_t emergencyKey = 0;
  std::array<int32_t, kSonarShown> sonar{};
};

// The result of a one-shot command: whether the robot was reached, and what
// to tell the operator.
struct CommandOutcome {
  bool ok = false;
  std::string text;
  // The service whose lamp the command's connection decides, if any.
  std::optional<RobotService> service;
};

class RobotLink {
public:
  // Time between two polls, and between two repeats of a held drive.
  static constexpr std::chrono::milliseconds kPeriod{100};
  // A drive with no keep-alive for this long stops.
  static constexpr std::chrono::milliseconds kKeepAlive{300};
  // One-shot commands waiting at most; more are refused.
  static constexpr size_t kMaxQueuedCommands = 32;

  using ReadingSink = std::function<void(const RobotReading &)>;
  using ReplySink = std::function<void(uint64_t ticket, const CommandOutcome &)>;

  // The proxies a command job may use; they belong to the command worker.
  struct CommandProxies {
    MotorDriverProxy motor;
    BumperProxy bumper;
    PowerModuleProxy power;
  };
  using CommandJob = std::function<CommandOutcome(CommandProxies &)>;

  RobotLink(ReadingSink onReading, ReplySink onReply);
  ~RobotLink(); // Stop()
  RobotLink(const RobotLink &) = delete;
  RobotLink &operator=(const RobotLink &) = delete;

  // Starts the three workers; false (nothing running) when a thread cannot
  // be made. Once only.
  bool Start();
  void Stop();

  // Sets the wheel speeds (mm/s) and counts as a keep-alive: new speeds go
  // out at once, then every kPeriod until Halt or until no Drive has come
  // for kKeepAlive.
  void Drive(int32_t left, int32_t right);
  // Sends zero at once and stops repeating.
  void Halt();
  // Queues `job` for the command worker; its outcome goes to the reply sink
  // with `ticket`. False when kMaxQueuedCommands wait already, or after Stop.
  bool Command(uint64_t ticket, CommandJob job);

  // Passes the poller has finished.
  uint64_t Polls() const { return m_polls.load(); }

private:
  using Clock = std::chrono::steady_clock;
  void Poll();
  bool Stopping();
  void DriveLoop();
  void CommandLoop();
  void SetLamp(RobotService s, bool lit) { m_lamps[static_cast<int>(s)].store(lit); }

  ReadingSink m_onReading;
  ReplySink m_onReply;
  std::array<std::atomic<bool>, kRobotServiceCount> m_lamps{};
  std::atomic<uint64_t> m_polls{0};

  std::mutex m_mutex; // guards everything below but the threads
  std::condition_variable m_pollWake, m_driveWake, m_commandWake;
  bool m_stopping = false;
  bool m_started = false;
  // Drive state.
  bool m_moving = false;
  bool m_sendNow = false; // new speeds to send at once
  bool m_zeroNow = false; // a zero to send at once
  int32_t m_left = 0, m_right = 0;
  Clock::time_point m_lastKeepAlive{}, m_nextRepeat{};
  std::deque<std::pair<uint64_t, CommandJob>> m_commands;

  std::thread m_poller, m_driver, m_commander;
};

#endif
