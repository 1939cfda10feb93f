#include "simulator.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <span>
#include <thread>
#include <utility>
#include <vector>

namespace robotsim {

namespace {

using Method = RobotSimulator::Method;

struct MethodEntry {
  Method id;
  Service service;
  const char *name;
  const char *sign_arg;
  const char *sign_ret;
  const char *help;
};

// The controller's catalogue, in registration order per service. The help
// texts (what `kivrel-call --describe` shows) give every field with its
// unit, as the README's table of units and meanings does.
constexpr MethodEntry kMethods[] = {
    {Method::VelocityControl, Service::MotorDriver, "VelocityControl", "[{i}{i}]", nullptr,
     "Sets the wheel speeds: 1 left, 2 right, in mm/s (clamped to +-1000, reached at 2000 "
     "mm/s^2). The wheels stop 500 ms after the last call: repeat it (every 100 ms, say) to keep "
     "driving. Ignored while the servos are off or the emergency key is pressed; with the Drive "
     "module down the wheels do not move; in bumper stop mode a pressed bumper holds forward "
     "travel."},
    {Method::ServoOn, Service::MotorDriver, "ServoOn", nullptr, nullptr,
     "Engages the wheel servos so that velocity commands are obeyed (they start on)."},
    {Method::ServoOff, Service::MotorDriver, "ServoOff", nullptr, nullptr,
     "Holds the wheels at once; velocity commands are ignored until ServoOn."},
    {Method::ReadPosition, Service::MotorDriver, "ReadPosition", nullptr, "[{i}{i}{i}]",
     "Returns the odometry pose: 1 x in mm, 2 y in mm, 3 heading in whole degrees, "
     "counter-clockwise positive, in (-180, 180]. (0, 0, 0) where the robot started."},
    {Method::ReadEncoder, Service::MotorDriver, "ReadEncoder", nullptr, "[{i}{i}]",
     "Returns the wheel encoder counts since the start: 1 left, 2 right; 2048 ticks per wheel "
     "turn (one tick = 0.23 mm of travel), forward counts up, wrapping as 32-bit counters."},
    {Method::ChangePosition2, Service::MotorDriver, "ChangePosition2", "[{i}{i}]", nullptr,
     "Overwrites the odometry position (never the true pose): 1 x in mm, 2 y in mm."},
    {Method::ChangePosition, Service::MotorDriver, "ChangePosition", "[{i}{i}{i}]", nullptr,
     "Overwrites the odometry pose (never the true pose): 1 x in mm, 2 y in mm, 3 heading in "
     "degrees."},
    {Method::ReadBumperArray, Service::Bumper, "ReadBumperArray", nullptr, "[{i}{i}]",
     "Returns the bumpers: 1 front-right, 2 front-left; 1 pressed, 0 free. A head-on contact "
     "presses both."},
    {Method::SetBumperOffMode, Service::Bumper, "SetBumperOffMode", nullptr, nullptr,
     "Off mode: the bumpers are only reported and never stop the drive."},
    {Method::SetBumperDirMode, Service::Bumper, "SetBumperDirMode", nullptr, nullptr,
     "Stop mode (the start mode): while a bumper is pressed, commands with forward travel "
     "(left + right > 0) are held at zero; turning on the spot and backing away still work."},
    {Method::ReadSensors, Service::UltraSonic, "ReadSensors", nullptr, "[{i}{i}{i}{i}{i}{i}{i}{i}]",
     "Returns 1-7 the ranges of ultrasonic sensors 0-6 in cm from the robot's rim (sensor 0 "
     "looks left, +90 degrees; 3 straight ahead; 6 right, -90 degrees; 30 degrees apart; 400 "
     "when nothing is within 400 cm), 8 a sample count. No result while the Sensor module is "
     "down."},
    {Method::ReadEmergencyKey, Service::EmergencyKey, "ReadEmergencyKey", nullptr, "[{i}]",
     "Returns the emergency key: 1 pressed, 0 released. While pressed the wheels are held and "
     "velocity commands ignored."},
    {Method::ReadPowerStatus, Service::PowerModule, "ReadPowerStatus", nullptr,
     "[{i}{i}{i}{i}{i}{i}{i}{i}{i}{i}{i}{i}{i}{i}{i}{i}]",
     "Returns sixteen integers: 1 battery voltage in mV, 2 charge voltage in mV, 3 charge current "
     "in mA (both 0 without charger), 4 consumption in mA, 5 state of charge in 0.1 %, 6 board "
     "temperature in 0.1 degC, 7-14 the modules SBC1, LRF, Sensor, Drive, SG, Gyro, Rx64, Lcd "
     "(0 on, 1 down), 15 uptime in s, 16 sample count."},
    {Method::PowerUp, Service::PowerModule, "PowerUp", "[{i}]", nullptr,
     "Switches on one power module, by id: Drive 1, Sensor 2, LRF 3, SBC1 4, Gyro 5, SG 6, "
     "Spare1 7, Spare3 8, Spare2 9, Lcd 10, Rx64 11, Spare4 12; other ids change nothing. All "
     "modules start on."},
    {Method::PowerDown, Service::PowerModule, "PowerDown", "[{i}]", nullptr,
     "Switches off one power module, by id: Drive 1, Sensor 2, LRF 3, SBC1 4, Gyro 5, SG 6, "
     "Spare1 7, Spare3 8, Spare2 9, Lcd 10, Rx64 11, Spare4 12; other ids change nothing. With "
     "Drive down the wheels do not move."},
};
static_assert(std::size(kMethods) == RobotSimulator::kMethodCount);

// Reads exactly `out.size()` integers; anything else is a wrongly shaped call.
bool ReadInts(const kivrel_datalist *args, std::span<int32_t> out) {
  if (args == nullptr || kivrel_datalist_get_size(args) != out.size()) return false;
  const kivrel_data *d = kivrel_datalist_get_head(args);
  for (int32_t &v : out) {
    if (d == nullptr) return false;
    const char *type = kivrel_data_get_datatype(d);
    auto *payload = static_cast<const kivrel_data_int *>(kivrel_data_get_data(d));
    if (type == nullptr || std::strcmp(type, "int") != 0 || payload == nullptr) return false;
    v = kivrel_data_int_get(payload);
    d = kivrel_data_get_next(d);
  }
  return true;
}

// A new list of integers, or null when memory runs out.
kivrel_datalist *IntList(std::span<const int32_t> values) {
  kivrel_datalist *list = kivrel_datalist_create();
  if (list == nullptr) return nullptr;
  for (int32_t v : values) {
    kivrel_data *value = kivrel_data_create();
    kivrel_data_int *payload = value != nullptr ? kivrel_data_int_create(v) : nullptr;
    if (payload == nullptr || kivrel_data_int_link(value, payload) != 0) {
      kivrel_data_int_destroy(payload);
      kivrel_data_destroy(value);
      kivrel_datalist_destroy(list);
      return nullptr;
    }
    kivrel_datalist_ins_next(list, kivrel_datalist_get_tail(list), value);
  }
  return list;
}

// Most steps the clock thread makes up at once after a stall.
constexpr int kMaxCatchUpSteps = 10;

} // namespace

RobotSimulator::RobotSimulator(SimulatorOptions options)
    : options_(options), world_(options.seed) {}

RobotSimulator::~RobotSimulator() {
  Stop();
  ReleaseHosts();
}

// Every method runs here, with its simulator and its name as user data.
int RobotSimulator::Dispatch(const kivrel_datalist *args, kivrel_datalist **ret,
                             void *data) noexcept {
  const auto *context = static_cast<const MethodContext *>(data);
  try {
    context->sim->Answer(context->id, args, ret);
  } catch (...) {
    return -1; // only a failed lock can get here; the caller then sees no result
  }
  return 0;
}

bool RobotSimulator::BuildServices() {
  for (size_t s = 0; s < kServiceCount; ++s) {
    registries_[s] = kivrel_registry_create();
    if (registries_[s] == nullptr) return false;
  }
  for (const MethodEntry &entry : kMethods) {
    MethodContext &context = contexts_[static_cast<size_t>(entry.id)];
    context = {this, entry.id};
    kivrel_method *m = kivrel_method_create_data(entry.name, Dispatch, &context, entry.sign_arg,
                                                 entry.sign_ret, entry.help);
    if (m == nullptr) return false;
    if (kivrel_registry_add_method(registries_[static_cast<size_t>(entry.service)], m) != 0) {
      kivrel_method_destroy(m);
      return false;
    }
  }
  const char *address = options_.bind_address.empty() ? nullptr : options_.bind_address.c_str();
  const auto ms = [](std::chrono::milliseconds d) {
    return static_cast<int32_t>(std::clamp<int64_t>(d.count(), 1, INT32_MAX));
  };
  for (size_t s = 0; s < kServiceCount; ++s) {
    if (kivrel_introspection_register(registries_[s]) != 0) return false;
    kivrel_host *host = kivrel_host_create(registries_[s], address, options_.ports[s]);
    hosts_[s] = host;
    if (host == nullptr || kivrel_host_set_workers(host, options_.workers) != 0 ||
        kivrel_host_set_max_connections(host, options_.max_connections) != 0 ||
        kivrel_host_set_idle_ms(host, ms(options_.idle_timeout)) != 0 ||
        kivrel_host_set_timeout_ms(host, ms(options_.message_timeout)) != 0)
      return false;
  }
  return true;
}

void RobotSimulator::ReleaseServices() {
  // All five at once: a stop may wait for calls in progress, and five such
  // waits one after another would add up.
  std::vector<std::thread> stoppers;
  for (size_t s = 1; s < kServiceCount; ++s) {
    if (hosts_[s] == nullptr) continue;
    try {
      stoppers.emplace_back(kivrel_host_stop, hosts_[s]);
    } catch (...) {
      kivrel_host_stop(hosts_[s]); // no thread to spare: here, in turn
    }
  }
  if (hosts_[0] != nullptr) kivrel_host_stop(hosts_[0]);
  for (std::thread &t : stoppers)
    t.join();
  for (size_t s = 0; s < kServiceCount; ++s) {
    kivrel_registry_destroy(registries_[s], 1);
    registries_[s] = nullptr;
  }
}

void RobotSimulator::ReleaseHosts() {
  for (kivrel_host *&host : hosts_) {
    kivrel_host_destroy(host);
    host = nullptr;
  }
}

bool RobotSimulator::Start() {
  if (registries_[0] != nullptr) return false; // already running
  ReleaseHosts();
  failed_ = Service::MotorDriver;
  bool ok = BuildServices();
  if (!ok) errno = ENOMEM;
  for (size_t s = 0; ok && s < kServiceCount; ++s) {
    ok = kivrel_host_start(hosts_[s]) == 0;
    if (!ok) failed_ = static_cast<Service>(s);
  }
  if (ok && options_.realtime) {
    clock_stop_ = false;
    try {
      clock_ = std::thread([this] { RunClock(); });
    } catch (...) {
      ok = false;
      errno = EAGAIN;
    }
  }
  if (!ok) {
    const int error = errno; // the caller's reason, not the clean-up's
    ReleaseServices();
    errno = error;
  }
  return ok;
}

int32_t RobotSimulator::Port(Service s) const {
  kivrel_host *host = hosts_[static_cast<size_t>(s)];
  return host != nullptr ? kivrel_host_port(host) : 0;
}

ConnectionStats RobotSimulator::Connections() const {
  ConnectionStats total;
  for (kivrel_host *host : hosts_) {
    if (host == nullptr) continue;
    kivrel_host_stats s{};
    kivrel_host_get_stats(host, &s);
    total.accepted += s.accepted;
    total.refused += s.refused;
    total.evicted += s.evicted;
    total.expired += s.closed_idle;
    total.open += s.open;
  }
  return total;
}

void RobotSimulator::Stop() {
  {
    std::lock_guard lock(clock_mutex_);
    clock_stop_ = true;
  }
  clock_cv_.notify_all();
  if (clock_.joinable()) clock_.join();
  ReleaseServices();
}

void RobotSimulator::RunClock() {
  using Clock = std::chrono::steady_clock;
  const auto step = std::chrono::microseconds(kStepMicros);
  auto next = Clock::now() + step;
  std::unique_lock lock(clock_mutex_);
  while (!clock_cv_.wait_until(lock, next, [this] { return clock_stop_; })) {
    const auto now = Clock::now();
    int due = 0;
    while (next <= now && due < kMaxCatchUpSteps) {
      ++due;
      next += step;
    }
    // After a long stall the world skips the lost time rather than racing.
    if (next <= now) next = now + step;
    std::lock_guard world_lock(mutex_);
    for (int i = 0; i < due; ++i)
      world_.Step();
  }
}

void RobotSimulator::Advance(double seconds) {
  if (!(seconds > 0)) return;
  std::lock_guard lock(mutex_);
  const int64_t us = std::llround(seconds * 1e6) + advance_carry_us_;
  advance_carry_us_ = us % kStepMicros;
  for (int64_t i = us / kStepMicros; i > 0; --i)
    world_.Step();
}

Snapshot RobotSimulator::Take() const {
  std::lock_guard lock(mutex_);
  return {world_.state(), world_.SonarTruth()};
}

void RobotSimulator::Modify(const std::function<void(World &)> &f) {
  std::lock_guard lock(mutex_);
  f(world_);
}

void RobotSimulator::SetEmergencyKey(bool pressed) {
  std::lock_guard lock(mutex_);
  world_.SetEmergencyKey(pressed);
}

bool RobotSimulator::ToggleEmergencyKey() {
  std::lock_guard lock(mutex_);
  world_.SetEmergencyKey(!world_.state().emergency_key);
  return world_.state().emergency_key;
}

void RobotSimulator::SetCharger(bool connected) {
  std::lock_guard lock(mutex_);
  world_.SetCharger(connected);
}

bool RobotSimulator::ToggleCharger() {
  std::lock_guard lock(mutex_);
  world_.SetCharger(!world_.state().charger);
  return world_.state().charger;
}

uint64_t RobotSimulator::CallCount(std::string_view name) const {
  for (const MethodEntry &entry : kMethods)
    if (name == entry.name) return calls_[static_cast<size_t>(entry.id)].load();
  return 0;
}

void RobotSimulator::Answer(Method m, const kivrel_datalist *args, kivrel_datalist **ret) {
  ++calls_[static_cast<size_t>(m)];
  // Runs `f` on the world under the lock and hands back what it returns.
  auto locked = [this](auto f) {
    std::lock_guard lock(mutex_);
    return f(world_);
  };
  // Methods without arguments take none: any list is a wrongly shaped call.
  const bool no_args = args == nullptr;
  std::array<int32_t, 3> in{};

  switch (m) {
  case Method::VelocityControl:
    if (ReadInts(args, std::span(in).first(2)))
      locked([&](World &w) { w.VelocityControl(in[0], in[1]); });
    return;
  case Method::ServoOn:
  case Method::ServoOff:
    if (no_args) locked([&](World &w) { w.SetServo(m == Method::ServoOn); });
    return;
  case Method::ReadPosition:
    if (no_args) *ret = IntList(locked([](World &w) { return w.PositionReading(); }));
    return;
  case Method::ReadEncoder:
    if (no_args) *ret = IntList(locked([](World &w) { return w.EncoderReading(); }));
    return;
  case Method::ChangePosition2:
    if (ReadInts(args, std::span(in).first(2)))
      locked([&](World &w) { w.SetOdometry(in[0], in[1], std::nullopt); });
    return;
  case Method::ChangePosition:
    if (ReadInts(args, in)) locked([&](World &w) { w.SetOdometry(in[0], in[1], in[2]); });
    return;
  case Method::ReadBumperArray:
    if (no_args) *ret = IntList(locked([](World &w) { return w.BumperReading(); }));
    return;
  case Method::SetBumperOffMode:
  case Method::SetBumperDirMode:
    if (no_args) locked([&](World &w) { w.SetBumperDirMode(m == Method::SetBumperDirMode); });
    return;
  case Method::ReadSensors:
    if (no_args) {
      std::array<int32_t, 8> out;
      if (locked([&](World &w) { return w.SonarReading(out); })) *ret = IntList(out);
    }
    return;
  case Method::ReadEmergencyKey:
    if (no_args) {
      const int32_t key[] = {locked([](World &w) { return w.state().emergency_key ? 1 : 0; })};
      *ret = IntList(key);
    }
    return;
  case Method::ReadPowerStatus:
    if (no_args) *ret = IntList(locked([](World &w) { return w.PowerReading(); }));
    return;
  case Method::PowerUp:
  case Method::PowerDown:
    if (ReadInts(args, std::span(in).first(1)))
      locked([&](World &w) { w.SetModule(in[0], m == Method::PowerUp); });
    return;
  }
}

} // namespace robotsim
