// The simulated robot and its room: a differential-drive disc robot in a
// walled room with a few boxes, and the devices its controller reports on
// (wheels and encoders, odometry, bumpers, ultrasonic rangers, emergency key,
// power modules and battery).
//
// Threading: a World is a plain value with no lock of its own. Its owner
// (RobotSimulator) serializes every access under one mutex.
//
// Frames and units. The room frame has its origin in the south-west corner,
// x east, y north, metres, headings in radians counter-clockwise from east.
// The controller speaks millimetres, degrees and mm/s; the conversions live
// in the *Reading() functions and the command setters.
#ifndef ROBOTSIM_WORLD_H
#define ROBOTSIM_WORLD_H

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace robotsim {

// The power modules, numbered as "PowerUp"/"PowerDown" take them.
enum class Module : int32_t {
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
inline constexpr int kModuleCount = 12;

// Room and robot geometry.
inline constexpr double kRoomWidth = 6.0;       // m, along x
inline constexpr double kRoomHeight = 4.0;      // m, along y
inline constexpr double kRobotRadius = 0.25;    // m
inline constexpr double kWheelBase = 0.40;      // m between the wheels
inline constexpr double kWheelDiameter = 0.150; // m
inline constexpr int kTicksPerRevolution = 2048;

// Drive limits and timing.
inline constexpr int64_t kStepMicros = 20000;      // fixed 50 Hz step
inline constexpr int32_t kMaxWheelSpeed = 1000;    // mm/s, either sign
inline constexpr double kWheelAcceleration = 2000; // mm/s^2
inline constexpr int64_t kWatchdogMicros = 500000; // no command for this long stops the wheels

// Ultrasonic rangers: seven on the front half, sensor 0 looking left (+90
// degrees), sensor 3 straight ahead, sensor 6 looking right (-90 degrees).
inline constexpr int kSonarCount = 7;
inline constexpr double kSonarSpacingDeg = 30.0;
inline constexpr int32_t kSonarMaxCm = 400;

struct Pose {
  double x = 0;     // m
  double y = 0;     // m
  double theta = 0; // rad, counter-clockwise
};

// An axis-aligned obstacle.
struct Box {
  double x0, y0, x1, y1;
};

// The obstacles standing in the room.
std::span<const Box> Obstacles();

// Where the robot stands when the world is made.
inline constexpr Pose kStartPose{1.0, 2.0, 0.0};

// Everything the world knows, as one copyable value.
struct WorldState {
  int64_t time_us = 0; // simulated time since the start

  Pose pose;                         // true pose, room frame
  Pose odometry;                     // the controller's dead reckoning, its own frame
  Pose odometry_origin = kStartPose; // room pose where odometry (0, 0, 0) was at start

  int32_t command_left = 0; // mm/s the drive is trying to reach (after clamp, watchdog)
  int32_t command_right = 0;
  double wheel_left = 0; // mm/s the wheels actually turn
  double wheel_right = 0;
  int64_t encoder_left = 0; // ticks, not wrapped
  int64_t encoder_right = 0;

  bool servo_on = true;
  bool bumper_dir_mode = true; // true: a pressed bumper holds forward motion
  bool bumper_left = false;
  bool bumper_right = false;
  bool emergency_key = false;
  bool charger = false;
  std::array<bool, kModuleCount + 1> module_on{}; // by Module value; [0] unused

  double state_of_charge = 0.9; // 0..1
  double battery_mv = 0;
  double charge_mv = 0;
  double charge_ma = 0;
  double consumption_ma = 0;
  double board_temp_c = 25.0;

  // The latest "VelocityControl" received, whether or not it was obeyed.
  int32_t last_velocity_left = 0;
  int32_t last_velocity_right = 0;
  int64_t velocity_commands = 0;
  int64_t last_command_us = -kWatchdogMicros - 1;

  uint32_t sonar_samples = 0;
  uint32_t power_samples = 0;
};

class World {
public:
  explicit World(uint64_t seed);

  // Advances simulated time by one kStepMicros step.
  void Step();

  const WorldState &state() const { return s_; }
  bool module_on(Module m) const { return s_.module_on[static_cast<size_t>(m)]; }

  // Motor driver.
  void VelocityControl(int32_t left, int32_t right);
  void SetServo(bool on);
  // Overwrites the odometry pose; `theta_deg` empty keeps the heading.
  void SetOdometry(int32_t x_mm, int32_t y_mm, std::optional<int32_t> theta_deg);
  std::array<int32_t, 3> PositionReading() const; // x mm, y mm, theta degrees (-180, 180]
  std::array<int32_t, 2> EncoderReading() const;  // left, right ticks, wrapped to 32 bits

  // Bumpers.
  void SetBumperDirMode(bool dir_mode);
  std::array<int32_t, 2> BumperReading() const; // front-right, front-left

  // Ultrasonic rangers: false (and no sample taken) while the Sensor module
  // is down. Positions 0-6 are ranges in cm, 7 the sample counter.
  bool SonarReading(std::array<int32_t, 8> &out);
  // Noise-free ranges in metres, for drawing.
  std::array<double, kSonarCount> SonarTruth() const;

  // Emergency key and charger, the operator's switches.
  void SetEmergencyKey(bool pressed);
  void SetCharger(bool connected);

  // Power module. Unknown ids change nothing and give false.
  bool SetModule(int32_t id, bool on);
  std::array<int32_t, 16> PowerReading();

  // Puts the robot at `pose` (room frame) if it fits there without touching
  // into a wall or box; false leaves it where it was.
  bool PlaceRobot(const Pose &pose);

private:
  bool DriveEnabled() const;
  void HoldWheels();
  void MoveBody(double v, double w, double dt);
  void UpdateBumpers();
  void UpdatePower(double dt);
  double NextNoise();

  WorldState s_;
  double encoder_frac_left_ = 0;
  double encoder_frac_right_ = 0;
  uint64_t rng_;
};

// Bearing `a` folded into (-pi, pi].
double WrapAngle(double a);

} // namespace robotsim

#endif
