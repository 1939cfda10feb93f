#include "world.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace robotsim {

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kDegToRad = kPi / 180.0;

constexpr Box kObstacles[] = {
    {2.6, 0.0, 3.2, 1.1}, // cabinet against the south wall
    {4.1, 2.5, 4.7, 3.1}, // crate in the open
    {0.0, 3.3, 0.9, 4.0}, // desk in the north-west corner
};

// A surface closer to the rim than this presses the bumper on that side.
constexpr double kContactMargin = 0.003; // m
// Each bumper covers the front quarter on its side plus a little overlap at
// the nose, so that a head-on contact presses both.
constexpr double kBumperOuter = 85.0 * kDegToRad;
constexpr double kBumperOverlap = 10.0 * kDegToRad;
// Longest straight move between collision checks.
constexpr double kSubStep = 0.005; // m
constexpr double kFitTolerance = 1e-9;

// Power model.
constexpr double kControllerDrawMa = 300;
constexpr std::array<double, kModuleCount + 1> kModuleDrawMa = {
    0,   // unused
    250, // Drive (idle)
    120, // Sensor
    450, // LRF
    900, // SBC1
    60,  // Gyro
    80,  // SG
    0,   // Spare1
    0,   // Spare3
    0,   // Spare2
    200, // Lcd
    150, // Rx64
    0,   // Spare4
};
constexpr double kMotorMaPerMmS = 0.9; // per wheel, on top of the Drive module's idle draw
constexpr double kCapacityAh = 20.0;
constexpr double kEmptyMv = 22800;
constexpr double kFullMv = 25600;
constexpr double kInternalOhm = 0.05;
constexpr double kChargerMv = 29000;
constexpr double kChargerMa = 4000;
constexpr double kTaperFromSoc = 0.95; // constant current below, tapering to zero at full
constexpr double kAmbientC = 25.0;
constexpr double kHeatCPerMa = 0.004;
constexpr double kThermalTauS = 300.0;

struct Vec {
  double x, y;
};

Vec ClosestOnBox(const Box &b, Vec p) {
  return {std::clamp(p.x, b.x0, b.x1), std::clamp(p.y, b.y0, b.y1)};
}

// True when a robot centred at `p` touches into nothing.
bool Fits(Vec p) {
  const double r = kRobotRadius - kFitTolerance;
  if (p.x < r || p.y < r || p.x > kRoomWidth - r || p.y > kRoomHeight - r) return false;
  for (const Box &b : kObstacles) {
    Vec q = ClosestOnBox(b, p);
    if (std::hypot(p.x - q.x, p.y - q.y) < r) return false;
  }
  return true;
}

// Moves from `from` (free) towards `to`, pushing the robot back out of
// whatever it would touch into; the component of the motion along a surface
// survives, so the robot slides along walls. Falls back to `from` where the
// push-out cannot settle (a gap narrower than the robot).
Vec Resolve(Vec from, Vec to) {
  Vec p = to;
  for (int pass = 0; pass < 4; ++pass) {
    p.x = std::clamp(p.x, kRobotRadius, kRoomWidth - kRobotRadius);
    p.y = std::clamp(p.y, kRobotRadius, kRoomHeight - kRobotRadius);
    for (const Box &b : kObstacles) {
      Vec q = ClosestOnBox(b, p);
      double d = std::hypot(p.x - q.x, p.y - q.y);
      if (d >= kRobotRadius) continue;
      if (d < 1e-12) return from;
      p = {q.x + (p.x - q.x) * kRobotRadius / d, q.y + (p.y - q.y) * kRobotRadius / d};
    }
  }
  return Fits(p) ? p : from;
}

// Distance from `o` along the unit direction `d` to the first wall or box.
double CastRay(Vec o, Vec d) {
  constexpr double kTiny = 1e-12;
  double t = std::numeric_limits<double>::infinity();
  if (d.x > kTiny) t = std::min(t, (kRoomWidth - o.x) / d.x);
  if (d.x < -kTiny) t = std::min(t, -o.x / d.x);
  if (d.y > kTiny) t = std::min(t, (kRoomHeight - o.y) / d.y);
  if (d.y < -kTiny) t = std::min(t, -o.y / d.y);
  for (const Box &b : kObstacles) {
    double lo = -std::numeric_limits<double>::infinity();
    double hi = std::numeric_limits<double>::infinity();
    const double origin[2] = {o.x, o.y};
    const double dir[2] = {d.x, d.y};
    const double b0[2] = {b.x0, b.y0};
    const double b1[2] = {b.x1, b.y1};
    bool miss = false;
    for (int axis = 0; axis < 2 && !miss; ++axis) {
      if (std::fabs(dir[axis]) < kTiny) {
        miss = origin[axis] < b0[axis] || origin[axis] > b1[axis];
        continue;
      }
      double t1 = (b0[axis] - origin[axis]) / dir[axis];
      double t2 = (b1[axis] - origin[axis]) / dir[axis];
      lo = std::max(lo, std::min(t1, t2));
      hi = std::min(hi, std::max(t1, t2));
    }
    if (!miss && hi >= std::max(lo, 0.0)) t = std::min(t, std::max(lo, 0.0));
  }
  return std::max(t, 0.0);
}

double Approach(double value, double target, double step) {
  if (value < target) return std::min(value + step, target);
  return std::max(value - step, target);
}

int32_t ToInt32(double v) {
  constexpr double kLo = std::numeric_limits<int32_t>::min();
  constexpr double kHi = std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(std::clamp(std::round(v), kLo, kHi));
}

// Ticks for a wheel that rolled `mm` millimetres.
double TicksFor(double mm) { return mm / (kPi * kWheelDiameter * 1000.0) * kTicksPerRevolution; }

// int64 to int32 by modulo 2^32, as a 32-bit hardware counter wraps.
int32_t Wrap32(int64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(v)); }

} // namespace

std::span<const Box> Obstacles() { return kObstacles; }

double WrapAngle(double a) {
  double r = std::remainder(a, 2 * kPi);
  if (r <= -kPi) r += 2 * kPi;
  return r;
}

World::World(uint64_t seed) : rng_(seed) {
  s_.pose = kStartPose;
  s_.module_on.fill(true);
  s_.module_on[0] = false;
  UpdatePower(0);
}

bool World::DriveEnabled() const {
  return s_.servo_on && !s_.emergency_key && module_on(Module::Drive);
}

void World::HoldWheels() {
  s_.command_left = s_.command_right = 0;
  s_.wheel_left = s_.wheel_right = 0;
}

void World::Step() {
  const double dt = kStepMicros * 1e-6;
  s_.time_us += kStepMicros;

  if (s_.time_us - s_.last_command_us > kWatchdogMicros) s_.command_left = s_.command_right = 0;

  double target_left = s_.command_left;
  double target_right = s_.command_right;
  if (!DriveEnabled()) {
    HoldWheels();
    target_left = target_right = 0;
  } else if (s_.bumper_dir_mode && (s_.bumper_left || s_.bumper_right) &&
             target_left + target_right > 0) {
    // The drive refuses to push on into what the bumper touches; turning on
    // the spot and backing away stay possible.
    s_.wheel_left = s_.wheel_right = 0;
    target_left = target_right = 0;
  }
  s_.wheel_left = Approach(s_.wheel_left, target_left, kWheelAcceleration * dt);
  s_.wheel_right = Approach(s_.wheel_right, target_right, kWheelAcceleration * dt);

  // Encoders and odometry count wheel rotation; a wheel spinning against a
  // wall slips, so both keep counting while the body stays put.
  encoder_frac_left_ += TicksFor(s_.wheel_left * dt);
  encoder_frac_right_ += TicksFor(s_.wheel_right * dt);
  const double whole_left = std::floor(encoder_frac_left_);
  const double whole_right = std::floor(encoder_frac_right_);
  s_.encoder_left += static_cast<int64_t>(whole_left);
  s_.encoder_right += static_cast<int64_t>(whole_right);
  encoder_frac_left_ -= whole_left;
  encoder_frac_right_ -= whole_right;

  const double v = (s_.wheel_left + s_.wheel_right) / 2.0 / 1000.0;        // m/s
  const double w = (s_.wheel_right - s_.wheel_left) / 1000.0 / kWheelBase; // rad/s
  const double mid = s_.odometry.theta + w * dt / 2;
  s_.odometry.x += v * dt * std::cos(mid);
  s_.odometry.y += v * dt * std::sin(mid);
  s_.odometry.theta = WrapAngle(s_.odometry.theta + w * dt);

  MoveBody(v, w, dt);
  UpdateBumpers();
  UpdatePower(dt);
}

void World::MoveBody(double v, double w, double dt) {
  const int steps = std::max(1, static_cast<int>(std::ceil(std::fabs(v) * dt / kSubStep)));
  const double h = dt / steps;
  for (int i = 0; i < steps; ++i) {
    const double mid = s_.pose.theta + w * h / 2;
    Vec from{s_.pose.x, s_.pose.y};
    Vec to{from.x + v * h * std::cos(mid), from.y + v * h * std::sin(mid)};
    Vec at = Resolve(from, to);
    s_.pose.x = at.x;
    s_.pose.y = at.y;
    // A disc turns freely in place, whatever it touches.
    s_.pose.theta = WrapAngle(s_.pose.theta + w * h);
  }
}

void World::UpdateBumpers() {
  bool left = false;
  bool right = false;
  const Vec p{s_.pose.x, s_.pose.y};
  auto touch = [&](Vec q) {
    double bearing = WrapAngle(std::atan2(q.y - p.y, q.x - p.x) - s_.pose.theta);
    if (bearing >= -kBumperOuter && bearing <= kBumperOverlap) right = true;
    if (bearing >= -kBumperOverlap && bearing <= kBumperOuter) left = true;
  };
  const double reach = kRobotRadius + kContactMargin;
  if (p.x <= reach) touch({0, p.y});
  if (p.x >= kRoomWidth - reach) touch({kRoomWidth, p.y});
  if (p.y <= reach) touch({p.x, 0});
  if (p.y >= kRoomHeight - reach) touch({p.x, kRoomHeight});
  for (const Box &b : kObstacles) {
    Vec q = ClosestOnBox(b, p);
    if (std::hypot(p.x - q.x, p.y - q.y) <= reach) touch(q);
  }
  s_.bumper_left = left;
  s_.bumper_right = right;
}

void World::UpdatePower(double dt) {
  double draw = kControllerDrawMa;
  for (int id = 1; id <= kModuleCount; ++id)
    if (s_.module_on[id]) draw += kModuleDrawMa[id];
  if (module_on(Module::Drive))
    draw += kMotorMaPerMmS * (std::fabs(s_.wheel_left) + std::fabs(s_.wheel_right));
  s_.consumption_ma = draw;

  if (s_.charger) {
    s_.charge_mv = kChargerMv;
    s_.charge_ma = s_.state_of_charge < kTaperFromSoc
                       ? kChargerMa
                       : kChargerMa * (1.0 - s_.state_of_charge) / (1.0 - kTaperFromSoc);
  } else {
    s_.charge_mv = 0;
    s_.charge_ma = 0;
  }

  const double net_ma = s_.charge_ma - s_.consumption_ma;
  s_.state_of_charge += net_ma / 1000.0 * dt / (kCapacityAh * 3600.0);
  s_.state_of_charge = std::clamp(s_.state_of_charge, 0.0, 1.0);
  // Open-circuit voltage rises with the charge; the current through the
  // internal resistance lifts it while charging and sags it under load.
  s_.battery_mv = kEmptyMv + (kFullMv - kEmptyMv) * s_.state_of_charge + net_ma * kInternalOhm;

  const double target_c = kAmbientC + kHeatCPerMa * s_.consumption_ma;
  s_.board_temp_c += (target_c - s_.board_temp_c) * std::min(1.0, dt / kThermalTauS);
}

void World::VelocityControl(int32_t left, int32_t right) {
  s_.last_velocity_left = left;
  s_.last_velocity_right = right;
  ++s_.velocity_commands;
  if (!DriveEnabled()) {
    HoldWheels();
    return;
  }
  s_.last_command_us = s_.time_us;
  s_.command_left = std::clamp(left, -kMaxWheelSpeed, kMaxWheelSpeed);
  s_.command_right = std::clamp(right, -kMaxWheelSpeed, kMaxWheelSpeed);
}

void World::SetServo(bool on) {
  s_.servo_on = on;
  if (!on) HoldWheels();
}

void World::SetOdometry(int32_t x_mm, int32_t y_mm, std::optional<int32_t> theta_deg) {
  s_.odometry.x = x_mm / 1000.0;
  s_.odometry.y = y_mm / 1000.0;
  if (theta_deg) s_.odometry.theta = WrapAngle(*theta_deg * kDegToRad);
}

std::array<int32_t, 3> World::PositionReading() const {
  int32_t deg = ToInt32(s_.odometry.theta / kDegToRad);
  if (deg <= -180) deg += 360;
  if (deg > 180) deg -= 360;
  return {ToInt32(s_.odometry.x * 1000.0), ToInt32(s_.odometry.y * 1000.0), deg};
}

std::array<int32_t, 2> World::EncoderReading() const {
  return {Wrap32(s_.encoder_left), Wrap32(s_.encoder_right)};
}

void World::SetBumperDirMode(bool dir_mode) { s_.bumper_dir_mode = dir_mode; }

std::array<int32_t, 2> World::BumperReading() const {
  return {s_.bumper_right ? 1 : 0, s_.bumper_left ? 1 : 0};
}

std::array<double, kSonarCount> World::SonarTruth() const {
  std::array<double, kSonarCount> out{};
  for (int i = 0; i < kSonarCount; ++i) {
    const double a = s_.pose.theta + (90.0 - kSonarSpacingDeg * i) * kDegToRad;
    const Vec d{std::cos(a), std::sin(a)};
    const Vec o{s_.pose.x + kRobotRadius * d.x, s_.pose.y + kRobotRadius * d.y};
    out[i] = CastRay(o, d);
  }
  return out;
}

double World::NextNoise() {
  // splitmix64: small, seedable and the same on every platform.
  uint64_t z = (rng_ += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  z ^= z >> 31;
  return static_cast<double>(z % 3) - 1.0; // -1, 0 or +1 cm
}

bool World::SonarReading(std::array<int32_t, 8> &out) {
  if (!module_on(Module::Sensor)) return false;
  const auto truth = SonarTruth();
  for (int i = 0; i < kSonarCount; ++i) {
    const double cm = truth[i] * 100.0;
    if (cm >= kSonarMaxCm) {
      out[i] = kSonarMaxCm; // no echo within range
    } else {
      out[i] = std::clamp(ToInt32(cm + NextNoise()), 0, kSonarMaxCm);
    }
  }
  out[7] = static_cast<int32_t>(++s_.sonar_samples);
  return true;
}

void World::SetEmergencyKey(bool pressed) {
  s_.emergency_key = pressed;
  if (pressed) HoldWheels();
}

void World::SetCharger(bool connected) {
  s_.charger = connected;
  UpdatePower(0);
}

bool World::SetModule(int32_t id, bool on) {
  if (id < 1 || id > kModuleCount) return false;
  s_.module_on[id] = on;
  if (!DriveEnabled()) HoldWheels();
  UpdatePower(0);
  return true;
}

std::array<int32_t, 16> World::PowerReading() {
  auto down = [this](Module m) { return module_on(m) ? 0 : 1; };
  ++s_.power_samples;
  return {
      ToInt32(s_.battery_mv),
      ToInt32(s_.charge_mv),
      ToInt32(s_.charge_ma),
      ToInt32(s_.consumption_ma),
      ToInt32(s_.state_of_charge * 1000.0), // 0.1 %
      ToInt32(s_.board_temp_c * 10.0),      // 0.1 degC
      down(Module::SBC1),
      down(Module::LRF),
      down(Module::Sensor),
      down(Module::Drive),
      down(Module::SG),
      down(Module::Gyro),
      down(Module::Rx64),
      down(Module::Lcd),
      static_cast<int32_t>(s_.time_us / 1000000), // uptime, s
      static_cast<int32_t>(s_.power_samples),
  };
}

bool World::PlaceRobot(const Pose &pose) {
  if (!Fits({pose.x, pose.y})) return false;
  s_.pose = {pose.x, pose.y, WrapAngle(pose.theta)};
  UpdateBumpers();
  return true;
}

} // namespace robotsim
