// The robot access layer: one proxy per robot controller service. Each
// operation opens its own connection to the controller, makes one call and
// stores the decoded integers in the proxy's fields; no connection outlives
// an operation. No Qt here, so the layer can be tested and reused alone.
//
// Threading contract: any thread may call any operation at any time; each
// operation keeps its connection and lists local, so concurrent operations
// never share a socket. Every field is an atomic 32-bit integer: readers on
// other threads see a whole value. m_connectStatus is last-writer-wins; a
// result field is written only from a reply, by its own read operation.
#ifndef SKARVEL_ROBOT_PROXIES_H
#define SKARVEL_ROBOT_PROXIES_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

// The value sent as the sole argument of "PowerUp" and "PowerDown". The
// numbering is the controller's, not alphabetical.
enum class PowerModuleId : int32_t {
  Drive = 1,
  Sensor = 2,
  LRF = 3,
  SBC1 = 4,
  Gyro = 5,
  SG = 6,
  Spare1 = 7,
  Spare3 = 8,
  Spare2 = 9,
  Lcd = 10,
  Rx64 = 11,
  Spare4 = 12,
};

// The controller's service ports.
namespace RobotPort {
constexpr int32_t MotorDriver = 50010;
constexpr int32_t Bumper = 50011;
constexpr int32_t UltraSonic = 50012;
constexpr int32_t PowerModule = 50017;
constexpr int32_t Emergency = 50022;
} // namespace RobotPort

// The process-wide port base: every operation calls the service that the
// robot has on `port` at `port - RobotPort::MotorDriver + base`, so the five
// services can move together, as robot-sim --port-base moves them. The
// robot's own ports (base 50010) by default; safe to change from any thread.
constexpr int32_t kRobotPortBase = RobotPort::MotorDriver;
extern std::atomic<int32_t> g_robotPortBase;
// Where the service the robot has on `port` is reached now.
int32_t ServicePort(int32_t port);

// The process-wide controller address (dotted IPv4 text). Replacing it while
// operations run is safe: an operation takes its own reference at its start,
// so the text it reads is never freed under it.
class RobotAddress {
public:
  std::shared_ptr<const std::string> Get() const;
  void Set(std::string address);

private:
  mutable std::mutex m_mutex;
  std::shared_ptr<const std::string> m_text = std::make_shared<const std::string>();
};
extern RobotAddress g_robotAddress;

using ProxyField = std::atomic<int32_t>;

class BumperProxy {
public:
  virtual ~BumperProxy() = default;
  void ReadBumperArray();
  void SetBumperOffMode();
  void SetBumperDirMode();

  ProxyField m_frontRight{0};
  ProxyField m_frontLeft{0};
  ProxyField m_connectStatus{-1};
  ProxyField m_replyStatus{-1};
};

class UltraSonicProxy {
public:
  static constexpr int kRanges = 8;
  virtual ~UltraSonicProxy() = default;
  void ReadSensors();

  ProxyField m_connectStatus{-1};
  ProxyField m_replyStatus{-1};
  ProxyField m_range[kRanges] = {};
};

class EmergencyProxy {
public:
  virtual ~EmergencyProxy() = default;
  void ReadEmergencyKey();

  ProxyField m_connectStatus{-1};
  ProxyField m_emergencyKey{0};
};

class MotorDriverProxy {
public:
  virtual ~MotorDriverProxy() = default;
  void ReadPosition();
  void ReadEncoder();
  void ChangePosition2(int x, int y);
  void ChangePosition(int x, int y, int theta);
  void ServoOn();
  void ServoOff();
  void VelocityControl(int left, int right);

  ProxyField m_connectStatus{-1};
  ProxyField m_x{0};
  ProxyField m_y{0};
  ProxyField m_theta{0};
  ProxyField m_encoderLeft{0};
  ProxyField m_encoderRight{0};
};

class PowerModuleProxy {
public:
  static constexpr int kStatusValues = 16;
  virtual ~PowerModuleProxy() = default;
  void ReadPowerStatus();
  // Switching reports nothing back, not even the connect result.
  void PowerUp(PowerModuleId module);
  void PowerDown(PowerModuleId module);

  ProxyField m_connectStatus{-1};
  ProxyField m_powerStatus[kStatusValues] = {};
};

#endif
