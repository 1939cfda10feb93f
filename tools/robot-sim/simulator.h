// The robot controller simulator: five kivrel services (motor driver, bumper,
// ultrasonic, power module, emergency key) answering from one simulated
// World, and optionally a thread that advances the world in real time.
//
// Threading: Start(), Stop() and the destructor belong to the owner's
// thread. Everything else may be called from any thread at any time; the
// world lives under one mutex shared by the simulation thread, the service
// workers and these calls.
#ifndef ROBOTSIM_SIMULATOR_H
#define ROBOTSIM_SIMULATOR_H

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "kivrel.h"
#include "kivrel_host.h"
#include "world.h"

namespace robotsim {

enum class Service { MotorDriver, Bumper, UltraSonic, PowerModule, EmergencyKey };
inline constexpr size_t kServiceCount = 5;

// The ports a real controller listens on, in Service order.
inline constexpr std::array<int32_t, kServiceCount> kDefaultPorts = {50010, 50011, 50012, 50017,
                                                                     50022};

struct SimulatorOptions {
  uint64_t seed = 1;
  // Advance the world in real time on a thread of its own. Off, the world
  // moves only through Advance(), which keeps tests deterministic.
  bool realtime = true;
  // Port per Service; 0 lets the system choose (read it back with Port()).
  std::array<int32_t, kServiceCount> ports = kDefaultPorts;
  // Local IPv4 address to listen on: this machine only unless told
  // otherwise, so that a simulator on a laptop serves no one else on its
  // network; "0.0.0.0" or empty for every interface, as a controller does.
  std::string bind_address = "127.0.0.1";
  // Per service: each is served by a host of its own.
  int workers = 2;
  int max_connections = 64;
  // A connection carrying no call for this long is closed.
  std::chrono::milliseconds idle_timeout{10000};
  // The most one request may take to arrive, or one answer to go out.
  std::chrono::milliseconds message_timeout{10000};
};

// Connection counters of the five services together.
struct ConnectionStats {
  uint64_t accepted = 0; // refused ones included
  uint64_t refused = 0;  // closed at once: every slot had a call in progress
  uint64_t evicted = 0;  // closed to give a newcomer the slot it waited longest in
  uint64_t expired = 0;  // closed at a deadline: silence, an unfinished request
  uint64_t open = 0;     // held right now
};

// What a viewer or a test sees of the world at one instant.
struct Snapshot {
  WorldState state;
  std::array<double, kSonarCount> sonar_m{}; // noise-free ranges
};

class RobotSimulator {
public:
  explicit RobotSimulator(SimulatorOptions options = {});
  ~RobotSimulator();
  RobotSimulator(const RobotSimulator &) = delete;
  RobotSimulator &operator=(const RobotSimulator &) = delete;

  // Binds the five ports and starts serving. False, with nothing left
  // running, when a port is taken, the bind address is not this machine's,
  // or memory runs out; then errno says why (as kivrel_host_start() leaves
  // it) and FailedService() names the service that could not start.
  bool Start();
  Service FailedService() const { return failed_; }
  // Stops serving and the simulation thread; releases every socket, method
  // and registry. Idempotent.
  void Stop();

  // The port a service listens on, or 0 when it does not.
  int32_t Port(Service s) const;
  ConnectionStats Connections() const;

  // Steps the world by `seconds` of simulated time (whole steps; the
  // remainder carries over to the next call).
  void Advance(double seconds);
  Snapshot Take() const;
  // Runs `f` on the world under the lock, e.g. to place the robot.
  void Modify(const std::function<void(World &)> &f);

  // The operator's switches.
  void SetEmergencyKey(bool pressed);
  bool ToggleEmergencyKey();
  void SetCharger(bool connected);
  bool ToggleCharger();

  // How often the robot method `name` was called (0 for unknown names).
  uint64_t CallCount(std::string_view name) const;

  // Used by the method functions; public only so they can reach it.
  enum class Method {
    VelocityControl,
    ServoOn,
    ServoOff,
    ReadPosition,
    ReadEncoder,
    ChangePosition,
    ChangePosition2,
    ReadBumperArray,
    SetBumperDirMode,
    SetBumperOffMode,
    ReadSensors,
    ReadEmergencyKey,
    ReadPowerStatus,
    PowerUp,
    PowerDown,
  };
  static constexpr size_t kMethodCount = 15;
  void Answer(Method m, const kivrel_datalist *args, kivrel_datalist **ret);

private:
  // What each method's function receives as its user data.
  struct MethodContext {
    RobotSimulator *sim;
    Method id;
  };

  static int Dispatch(const kivrel_datalist *args, kivrel_datalist **ret, void *data) noexcept;
  bool BuildServices();
  void ReleaseServices();
  void ReleaseHosts();
  void RunClock();

  SimulatorOptions options_;
  mutable std::mutex mutex_; // guards world_ and advance_carry_us_
  World world_;
  int64_t advance_carry_us_ = 0;

  std::array<kivrel_registry *, kServiceCount> registries_{};
  // Made in Start(), stopped in Stop(), released by the destructor or the
  // next Start(), so that Port() and Connections() may read them from any
  // thread while the simulator stops.
  std::array<kivrel_host *, kServiceCount> hosts_{};
  Service failed_ = Service::MotorDriver;
  std::array<MethodContext, kMethodCount> contexts_{};
  std::array<std::atomic<uint64_t>, kMethodCount> calls_{};

  std::thread clock_;
  std::mutex clock_mutex_;
  std::condition_variable clock_cv_;
  bool clock_stop_ = false; // under clock_mutex_
};

} // namespace robotsim

#endif
