#include "robot_link.h"

#include <algorithm>
#include <new>
#include <system_error>
#include <utility>

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

template <size_t N> void Copy(const ProxyField (&from)[N], int32_t *to, size_t count) {
  for (size_t i = 0; i < count && i < N; ++i)
    to[i] = from[i].load();
}

} // namespace

RobotLink::RobotLink(ReadingSink onReading, ReplySink onReply)
    : m_onReading(std::move(onReading)), m_onReply(std::move(onReply)) {}

RobotLink::~RobotLink() { Stop(); }

bool RobotLink::Start() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_started) return false;
    m_started = true;
  }
  try {
    m_poller = std::thread(&RobotLink::Poll, this);
    m_driver = std::thread(&RobotLink::DriveLoop, this);
    m_commander = std::thread(&RobotLink::CommandLoop, this);
  } catch (const std::system_error &) {
    Stop();
    return false;
  }
  return true;
}

void RobotLink::Stop() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopping = true;
    // The drive worker sends this zero before it leaves.
    if (m_moving) {
      m_moving = false;
      m_zeroNow = true;
    }
    m_commands.clear();
  }
  m_pollWake.notify_all();
  m_driveWake.notify_all();
  m_commandWake.notify_all();
  for (std::thread *t : {&m_poller, &m_driver, &m_commander})
    if (t->joinable()) t->join();
}

void RobotLink::Drive(int32_t left, int32_t right) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stopping) return;
    if (!m_moving || left != m_left || right != m_right) m_sendNow = true;
    m_moving = true;
    m_zeroNow = false;
    m_left = left;
    m_right = right;
    m_lastKeepAlive = Clock::now();
  }
  m_driveWake.notify_all();
}

void RobotLink::Halt() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stopping) return;
    m_moving = false;
    m_sendNow = false;
    m_zeroNow = true;
  }
  m_driveWake.notify_all();
}

bool RobotLink::Command(uint64_t ticket, CommandJob job) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stopping || m_commands.size() >= kMaxQueuedCommands) return false;
    m_commands.emplace_back(ticket, std::move(job));
  }
  m_commandWake.notify_all();
  return true;
}

bool RobotLink::Stopping() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_stopping;
}

void RobotLink::Poll() {
  UltraSonicProxy ultraSonic;
  BumperProxy bumper;
  EmergencyProxy emergency;
  MotorDriverProxy motor;
  PowerModuleProxy power;
  // Per service: its last read gave values.
  std::array<bool, kRobotServiceCount> fresh{};
  RobotReading r;
  const auto publish = [&] {
    ++r.seq;
    r.timeMs = NowMs();
    for (int s = 0; s < kRobotServiceCount; ++s) {
      r.lamps[s] = m_lamps[s].load();
      r.stale[s] = !fresh[s];
    }
    Copy(power.m_powerStatus, r.power.data(), r.power.size());
    r.x = motor.m_x;
    r.y = motor.m_y;
    r.theta = motor.m_theta;
    r.encoderLeft = motor.m_encoderLeft;
    r.encoderRight = motor.m_encoderRight;
    r.frontLeft = bumper.m_frontLeft;
    r.frontRight = bumper.m_frontRight;
    r.emergencyKey = emergency.m_emergencyKey;
    Copy(ultraSonic.m_range, r.sonar.data(), r.sonar.size());
    m_onReading(r);
  };

  // One connection per operation, six a pass, whoever watches. Each read
  // tells whether it gave values; the lamp follows its connection.
  struct Step {
    RobotService service;
    const ProxyField &connectStatus;
    std::function<bool()> read;
  };
  const Step steps[] = {
      {RobotService::UltraSonic, ultraSonic.m_connectStatus,
       [&] {
         ultraSonic.ReadSensors();
         return ultraSonic.m_connectStatus == 0 && ultraSonic.m_replyStatus == 0;
       }},
      {RobotService::Bumper, bumper.m_connectStatus,
       [&] {
         bumper.ReadBumperArray();
         return bumper.m_connectStatus == 0 && bumper.m_replyStatus == 0;
       }},
      {RobotService::Emergency, emergency.m_connectStatus,
       [&] {
         emergency.ReadEmergencyKey();
         return emergency.m_connectStatus == 0;
       }},
      {RobotService::MotorDriver, motor.m_connectStatus,
       [&] {
         motor.ReadPosition();
         // A driver that did not answer is not asked twice in one pass.
         if (motor.m_connectStatus != 0) return false;
         motor.ReadEncoder();
         return motor.m_connectStatus == 0;
       }},
      {RobotService::PowerModule, power.m_connectStatus,
       [&] {
         power.ReadPowerStatus();
         return power.m_connectStatus == 0;
       }},
  };

  auto next = Clock::now();
  for (;;) {
    for (const Step &step : steps) {
      // A controller that does not answer costs a connect deadline per
      // read: stopping must not wait for the whole pass.
      if (Stopping()) return;
      const int s = static_cast<int>(step.service);
      const bool wasLit = m_lamps[s].load();
      fresh[s] = step.read();
      const bool lit = step.connectStatus == 0;
      SetLamp(step.service, lit);
      // A service that stops answering shows at once, not a pass later.
      if (wasLit && !lit) publish();
    }
    m_polls.fetch_add(1);
    publish();

    // At the panel's pace; a pass slower than a period starts the next at
    // once rather than catching up with a burst.
    next += kPeriod;
    const auto now = Clock::now();
    if (next < now) next = now;
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_pollWake.wait_until(lock, next, [this] { return m_stopping; })) return;
  }
}

void RobotLink::DriveLoop() {
  MotorDriverProxy motor;
  std::unique_lock<std::mutex> lock(m_mutex);
  for (;;) {
    const auto now = Clock::now();
    if (m_moving && now - m_lastKeepAlive >= kKeepAlive) {
      // The driver's page went quiet: stop, and wait for a new drive.
      m_moving = false;
      m_sendNow = false;
      m_zeroNow = true;
    }
    int32_t left = 0, right = 0;
    bool send = false;
    if (m_zeroNow) {
      m_zeroNow = false;
      send = true;
    } else if (m_moving && (m_sendNow || now >= m_nextRepeat)) {
      m_sendNow = false;
      m_nextRepeat = now + kPeriod;
      left = m_left;
      right = m_right;
      send = true;
    }
    if (send) {
      lock.unlock();
      motor.VelocityControl(left, right);
      SetLamp(RobotService::MotorDriver, motor.m_connectStatus == 0);
      lock.lock();
      continue;
    }
    if (m_stopping) return;
    if (m_moving) {
      const auto until = std::min(m_nextRepeat, m_lastKeepAlive + kKeepAlive);
      m_driveWake.wait_until(lock, until);
    } else {
      m_driveWake.wait(lock);
    }
  }
}

void RobotLink::CommandLoop() {
  CommandProxies proxies;
  std::unique_lock<std::mutex> lock(m_mutex);
  for (;;) {
    m_commandWake.wait(lock, [this] { return m_stopping || !m_commands.empty(); });
    if (m_stopping) return;
    auto [ticket, job] = std::move(m_commands.front());
    m_commands.pop_front();
    lock.unlock();
    CommandOutcome outcome;
    try {
      outcome = job(proxies);
    } catch (const std::bad_alloc &) {
      outcome = {false, "out of memory", std::nullopt};
    }
    if (outcome.service) SetLamp(*outcome.service, outcome.ok);
    m_onReply(ticket, outcome);
    lock.lock();
  }
}
