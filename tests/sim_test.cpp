// The robot controller simulator, driven as the panel drives a robot: every
// call goes over a real loopback connection through the library's client.
// The world clock is off, so nothing moves unless a test advances time.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <numbers>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kivrel.hpp"
#include "simulator.h"

namespace {

using robotsim::Module;
using robotsim::RobotSimulator;
using robotsim::Service;
using robotsim::SimulatorOptions;
using robotsim::WorldState;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

class KivrelEnvironment : public ::testing::Environment {
public:
  void SetUp() override { kivrel_initialize(); }
  void TearDown() override { kivrel_finalize(); }
};
[[maybe_unused]] const auto *const g_environment =
    ::testing::AddGlobalTestEnvironment(new KivrelEnvironment);

// ---- client helpers

using kivrel::Client;
using kivrel::List;

using Ints = std::vector<int32_t>;

Client Connect(int32_t port) {
  Client c(kivrel_tcp_client_create("127.0.0.1", port));
  if (c == nullptr) return nullptr;
  // Close with a reset, leaving no TIME_WAIT behind: the system's ephemeral
  // range holds the robot's fixed ports, and a client port lingering on one
  // of them would keep a simulator from binding it for a minute.
  const linger hard{1, 0};
  setsockopt(c->socket_fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  if (kivrel_tcp_client_connect(c.get()) != 0) return nullptr;
  return c;
}

void Append(kivrel_datalist *list, kivrel_data *value) {
  kivrel_datalist_ins_next(list, kivrel_datalist_get_tail(list), value);
}

List IntArgs(const Ints &values) {
  if (values.empty()) return nullptr;
  List list(kivrel_datalist_create());
  for (int32_t v : values) {
    kivrel_data *d = kivrel_data_create();
    kivrel_data_int_link(d, kivrel_data_int_create(v));
    Append(list.get(), d);
  }
  return list;
}

List StringArgs(const char *text) {
  List list(kivrel_datalist_create());
  kivrel_data *d = kivrel_data_create();
  kivrel_data_string_link(d, kivrel_data_string_create(text));
  Append(list.get(), d);
  return list;
}

// The reply's values as integers, or nothing when no list came back.
std::optional<Ints> AsInts(const kivrel_datalist *reply) {
  if (reply == nullptr) return std::nullopt;
  Ints out;
  for (const kivrel_data *d = kivrel_datalist_get_head(reply); d != nullptr;
       d = kivrel_data_get_next(d)) {
    if (std::strcmp(kivrel_data_get_datatype(d), "int") != 0) return std::nullopt;
    out.push_back(
        kivrel_data_int_get(static_cast<const kivrel_data_int *>(kivrel_data_get_data(d))));
  }
  return out;
}

std::vector<std::string> AsStrings(const kivrel_datalist *reply) {
  std::vector<std::string> out;
  if (reply == nullptr) return out;
  for (const kivrel_data *d = kivrel_datalist_get_head(reply); d != nullptr;
       d = kivrel_data_get_next(d)) {
    if (std::strcmp(kivrel_data_get_datatype(d), "string") == 0)
      out.push_back(kivrel_data_string_get_string(
          static_cast<const kivrel_data_string *>(kivrel_data_get_data(d))));
  }
  return out;
}

// One call on a fresh connection, as the panel makes every call.
List CallList(int32_t port, const char *method, const kivrel_datalist *args = nullptr) {
  Client c = Connect(port);
  if (c == nullptr) return nullptr;
  return List(kivrel_request_method_call(c.get(), method, args));
}

std::optional<Ints> Call(int32_t port, const char *method, const Ints &args = {}) {
  List a = IntArgs(args);
  List reply = CallList(port, method, a.get());
  return AsInts(reply.get());
}

// Waits (bounded) until the peer closes `fd`; true when it did.
bool PeerCloses(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, 5000) != 1) return false;
  // A close with unread request bytes still in its buffer comes as a reset.
  char byte;
  const ssize_t r = recv(fd, &byte, 1, 0);
  return r == 0 || (r < 0 && errno == ECONNRESET);
}

SimulatorOptions TestOptions() {
  SimulatorOptions o;
  o.realtime = false;
  o.ports = {0, 0, 0, 0, 0};
  o.seed = 7;
  o.workers = 4;
  return o;
}

class Simulator : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_TRUE(sim_.Start()); }

  int32_t Port(Service s) const { return sim_.Port(s); }
  std::optional<Ints> Motor(const char *m, const Ints &args = {}) {
    return Call(Port(Service::MotorDriver), m, args);
  }
  std::optional<Ints> Power(const char *m, const Ints &args = {}) {
    return Call(Port(Service::PowerModule), m, args);
  }
  WorldState State() const { return sim_.Take().state; }
  // Keeps the velocity command fresh while time passes, as the panel's
  // drive threads do every 100 ms.
  void Drive(int32_t left, int32_t right, double seconds) {
    for (int i = 0; i < std::lround(seconds * 10); ++i) {
      Motor("VelocityControl", {left, right});
      sim_.Advance(0.1);
    }
  }
  void Place(double x, double y, double theta) {
    bool placed = false;
    sim_.Modify([&](robotsim::World &w) { placed = w.PlaceRobot({x, y, theta}); });
    ASSERT_TRUE(placed);
  }

  RobotSimulator sim_{TestOptions()};
};

// ---- motor driver

TEST_F(Simulator, WatchdogStopsTheWheelsHalfASecondAfterTheLastCommand) {
  Motor("VelocityControl", {300, 300});
  sim_.Advance(0.4);
  WorldState s = State();
  EXPECT_EQ(s.wheel_left, 300);
  EXPECT_EQ(s.wheel_right, 300);
  EXPECT_GT(s.pose.x, robotsim::kStartPose.x + 0.05);

  sim_.Advance(0.3); // 0.7 s after the command
  s = State();
  EXPECT_EQ(s.wheel_left, 0);
  EXPECT_EQ(s.wheel_right, 0);
  const Ints encoders = Motor("ReadEncoder").value();
  sim_.Advance(2.0);
  EXPECT_EQ(State().pose.x, s.pose.x);
  EXPECT_EQ(Motor("ReadEncoder").value(), encoders);
}

TEST_F(Simulator, ServoOffHoldsTheWheelsAndIgnoresVelocityUntilServoOn) {
  EXPECT_TRUE(State().servo_on);
  Drive(200, 200, 0.3);
  EXPECT_GT(State().wheel_left, 0);

  EXPECT_EQ(Motor("ServoOff"), std::nullopt); // commands answer without a result
  EXPECT_EQ(State().wheel_left, 0);
  const double x = State().pose.x;
  Drive(200, 200, 1.0);
  WorldState s = State();
  EXPECT_EQ(s.pose.x, x);
  EXPECT_EQ(s.last_velocity_left, 200); // received, not obeyed
  EXPECT_EQ(sim_.CallCount("VelocityControl"), 13u);
  EXPECT_EQ(sim_.CallCount("ServoOff"), 1u);

  Motor("ServoOn");
  Drive(200, 200, 0.5);
  EXPECT_GT(State().pose.x, x + 0.05);
}

TEST_F(Simulator, OdometryReadsBackWhatWasWrittenAndFollowsTheWheels) {
  EXPECT_THAT(Motor("ReadPosition").value(), ElementsAre(0, 0, 0));
  EXPECT_THAT(Motor("ReadEncoder").value(), ElementsAre(0, 0));

  Drive(250, 250, 1.2);
  sim_.Advance(1.0);
  const Ints pos = Motor("ReadPosition").value();
  const Ints enc = Motor("ReadEncoder").value();
  EXPECT_GT(enc[0], 0);
  EXPECT_EQ(enc[0], enc[1]);
  // 2048 ticks per turn of a 150 mm wheel: the encoders, the odometry and
  // the true travel agree to within a millimetre or two.
  const double wheel_mm = enc[0] * std::numbers::pi * 150.0 / 2048.0;
  EXPECT_NEAR(pos[0], wheel_mm, 2.0);
  EXPECT_NEAR(pos[0], (State().pose.x - robotsim::kStartPose.x) * 1000.0, 2.0);
  EXPECT_EQ(pos[1], 0);
  EXPECT_EQ(pos[2], 0);

  // Turning left on the spot is counter-clockwise: the heading grows and
  // the encoders run in opposite directions.
  Drive(-100, 100, 1.0);
  sim_.Advance(1.0);
  const Ints turned = Motor("ReadPosition").value();
  const Ints enc2 = Motor("ReadEncoder").value();
  EXPECT_GT(turned[2], 20);
  EXPECT_LT(enc2[0], enc[0]);
  EXPECT_GT(enc2[1], enc[1]);

  const robotsim::Pose true_pose = State().pose;
  Motor("ChangePosition", {1234, -567, 90});
  EXPECT_THAT(Motor("ReadPosition").value(), ElementsAre(1234, -567, 90));
  Motor("ChangePosition2", {10, 20});
  EXPECT_THAT(Motor("ReadPosition").value(), ElementsAre(10, 20, 90));
  // Headings come back folded into (-180, 180].
  Motor("ChangePosition", {0, 0, 270});
  EXPECT_EQ((Motor("ReadPosition").value())[2], -90);
  Motor("ChangePosition", {0, 0, -180});
  EXPECT_EQ((Motor("ReadPosition").value())[2], 180);
  Motor("ChangePosition", {0, 0, 725});
  EXPECT_EQ((Motor("ReadPosition").value())[2], 5);
  // Odometry is the controller's belief; the robot itself did not move.
  EXPECT_EQ(State().pose.x, true_pose.x);
  EXPECT_EQ(State().pose.y, true_pose.y);
}

TEST_F(Simulator, WronglyShapedCallsAnswerNothingAndChangeNothing) {
  const int32_t motor = Port(Service::MotorDriver);
  EXPECT_EQ(Motor("VelocityControl", {300}), std::nullopt);
  EXPECT_EQ(Motor("VelocityControl", {300, 300, 300}), std::nullopt);
  List text = StringArgs("300");
  EXPECT_EQ(CallList(motor, "VelocityControl", text.get()), nullptr);
  EXPECT_EQ(Motor("ChangePosition", {5, 6}), std::nullopt);
  EXPECT_EQ(Motor("ChangePosition2", {5, 6, 7}), std::nullopt);
  EXPECT_EQ(Motor("ReadPosition", {1}), std::nullopt);
  EXPECT_EQ(Power("PowerDown", {1, 2}), std::nullopt);
  EXPECT_EQ(CallList(Port(Service::PowerModule), "PowerDown", text.get()), nullptr);
  EXPECT_EQ(Motor("NoSuchMethod"), std::nullopt);
  EXPECT_EQ(Motor("readposition"), std::nullopt);

  sim_.Advance(1.0);
  const WorldState s = State();
  EXPECT_EQ(s.velocity_commands, 0);
  EXPECT_EQ(s.pose.x, robotsim::kStartPose.x);
  EXPECT_THAT(Motor("ReadPosition").value(), ElementsAre(0, 0, 0));
  EXPECT_TRUE(s.module_on[static_cast<size_t>(Module::Drive)]);
  EXPECT_EQ(sim_.CallCount("VelocityControl"), 3u); // counted, though refused
}

// ---- bumpers and collisions

TEST_F(Simulator, StopModeHoldsForwardMotionAtAWallWhileOffModeOnlyReports) {
  const int32_t bumper = Port(Service::Bumper);
  const double wall_x = robotsim::kRoomWidth - robotsim::kRobotRadius;
  Place(wall_x - 0.05, 2.0, 0.0); // facing the east wall, 5 cm off
  EXPECT_THAT(Call(bumper, "ReadBumperArray").value(), ElementsAre(0, 0));
  EXPECT_TRUE(State().bumper_dir_mode);

  Drive(200, 200, 1.5);
  EXPECT_THAT(Call(bumper, "ReadBumperArray").value(), ElementsAre(1, 1)); // head-on: both
  const Ints held = Motor("ReadEncoder").value();
  Drive(200, 200, 1.0);
  EXPECT_EQ(Motor("ReadEncoder").value(), held);
  EXPECT_EQ(State().wheel_left, 0);
  EXPECT_LE(State().pose.x, wall_x + 1e-9);

  // Backing away is allowed and frees the bumpers.
  Drive(-200, -200, 0.5);
  EXPECT_LT(State().pose.x, wall_x - 0.02);
  EXPECT_THAT(Call(bumper, "ReadBumperArray").value(), ElementsAre(0, 0));

  EXPECT_EQ(Call(bumper, "SetBumperOffMode"), std::nullopt);
  EXPECT_FALSE(State().bumper_dir_mode);
  Drive(200, 200, 1.5);
  EXPECT_THAT(Call(bumper, "ReadBumperArray").value(), ElementsAre(1, 1));
  const Ints slipping = Motor("ReadEncoder").value();
  Drive(200, 200, 1.0);
  // The wheels spin against the wall: encoders count, the body stays put.
  EXPECT_GT((Motor("ReadEncoder").value())[0], slipping[0] + 300);
  EXPECT_LE(State().pose.x, wall_x + 1e-9);

  Call(bumper, "SetBumperDirMode");
  EXPECT_TRUE(State().bumper_dir_mode);
}

TEST_F(Simulator, OnlyTheBumperOnTheTouchingSideIsPressed) {
  const int32_t bumper = Port(Service::Bumper);
  const double wall_x = robotsim::kRoomWidth - robotsim::kRobotRadius;
  // Heading 45 degrees left of the wall: it touches on the right front.
  Place(wall_x - 0.01, 2.0, std::numbers::pi / 4);
  Call(bumper, "SetBumperOffMode");
  Drive(200, 200, 0.5);
  EXPECT_THAT(Call(bumper, "ReadBumperArray").value(), ElementsAre(1, 0));
  // Heading 45 degrees right of it: the left front touches.
  Place(wall_x - 0.01, 2.0, -std::numbers::pi / 4);
  Drive(200, 200, 0.5);
  EXPECT_THAT(Call(bumper, "ReadBumperArray").value(), ElementsAre(0, 1));
}

TEST_F(Simulator, TheRobotNeverEntersAWallOrABox) {
  Call(Port(Service::Bumper), "SetBumperOffMode");
  // Arcs of every tightness for a minute of simulated time, checking the
  // body after every 100 ms against the room and each box.
  const Ints speeds[] = {{800, 600}, {600, 800}, {1000, 1000}, {900, -200}, {700, 300}};
  int pressed = 0;
  for (int i = 0; i < 600; ++i) {
    const Ints &v = speeds[(i / 40) % std::size(speeds)];
    Drive(v[0], v[1], 0.1);
    const WorldState s = State();
    const double r = robotsim::kRobotRadius - 1e-6;
    ASSERT_GE(s.pose.x, r);
    ASSERT_GE(s.pose.y, r);
    ASSERT_LE(s.pose.x, robotsim::kRoomWidth - r);
    ASSERT_LE(s.pose.y, robotsim::kRoomHeight - r);
    for (const robotsim::Box &b : robotsim::Obstacles()) {
      const double dx = s.pose.x - std::clamp(s.pose.x, b.x0, b.x1);
      const double dy = s.pose.y - std::clamp(s.pose.y, b.y0, b.y1);
      ASSERT_GE(std::hypot(dx, dy), r) << "inside box at step " << i;
    }
    if (s.bumper_left || s.bumper_right) ++pressed;
  }
  EXPECT_GT(pressed, 10);
  // The wheels went much further than the body could.
  const Ints enc = Motor("ReadEncoder").value();
  EXPECT_GT(enc[0], 30 * 2048);
}

// ---- ultrasonic

TEST_F(Simulator, UltrasonicRangesMeasureFromTheRimToWhatLiesAhead) {
  const int32_t sonar = Port(Service::UltraSonic);
  const double x = 3.0;
  const double y = 2.0;
  Place(x, y, 0.0); // facing east
  const double r = robotsim::kRobotRadius;
  // Straight down (sensor 6, the right side) the nearest thing is the top
  // of whichever box stands under x, else the south wall.
  double floor_y = 0;
  for (const robotsim::Box &b : robotsim::Obstacles())
    if (b.x0 <= x && x <= b.x1 && b.y1 <= y) floor_y = std::max(floor_y, b.y1);

  for (uint32_t sample = 1; sample <= 5; ++sample) {
    const Ints ranges = Call(sonar, "ReadSensors").value();
    ASSERT_EQ(ranges.size(), 8u);
    EXPECT_NEAR(ranges[3], (robotsim::kRoomWidth - x - r) * 100, 1.01);  // ahead
    EXPECT_NEAR(ranges[0], (robotsim::kRoomHeight - y - r) * 100, 1.01); // left
    EXPECT_NEAR(ranges[6], (y - r - floor_y) * 100, 1.01);               // right
    EXPECT_EQ(ranges[7], static_cast<int32_t>(sample));
  }
  // Nothing within four metres reads as the maximum range.
  Place(0.5, 2.0, 0.0);
  EXPECT_EQ((Call(sonar, "ReadSensors").value())[3], 400);

  // The noise is seeded: two simulators with the same seed, placed the
  // same way, read the same values.
  RobotSimulator a(TestOptions());
  RobotSimulator b(TestOptions());
  ASSERT_TRUE(a.Start());
  ASSERT_TRUE(b.Start());
  for (RobotSimulator *s : {&a, &b})
    s->Modify([&](robotsim::World &w) { w.PlaceRobot({x, y, 0}); });
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(Call(a.Port(Service::UltraSonic), "ReadSensors").value(),
              Call(b.Port(Service::UltraSonic), "ReadSensors").value());
  }
}

// ---- emergency key

TEST_F(Simulator, EmergencyKeyStopsTheWheelsWhilePressed) {
  const int32_t key = Port(Service::EmergencyKey);
  EXPECT_THAT(Call(key, "ReadEmergencyKey").value(), ElementsAre(0));
  Drive(300, 300, 0.5);
  EXPECT_GT(State().wheel_left, 0);

  sim_.SetEmergencyKey(true);
  EXPECT_THAT(Call(key, "ReadEmergencyKey").value(), ElementsAre(1));
  EXPECT_EQ(State().wheel_left, 0);
  const double x = State().pose.x;
  Drive(300, 300, 1.0);
  EXPECT_EQ(State().pose.x, x);

  EXPECT_FALSE(sim_.ToggleEmergencyKey());
  EXPECT_THAT(Call(key, "ReadEmergencyKey").value(), ElementsAre(0));
  Drive(300, 300, 0.5);
  EXPECT_GT(State().pose.x, x + 0.05);
}

// ---- power module

TEST_F(Simulator, BatteryDrainsOverTimeAndTheChargerRaisesIt) {
  const Ints start = Power("ReadPowerStatus").value();
  ASSERT_EQ(start.size(), 16u);
  EXPECT_GT(start[0], 22000);
  EXPECT_LT(start[0], 26000);
  EXPECT_EQ(start[1], 0); // no charger
  EXPECT_EQ(start[2], 0);
  EXPECT_GT(start[3], 0);  // the modules draw current
  EXPECT_EQ(start[14], 0); // uptime, s
  EXPECT_EQ(start[15], 1); // sample counter

  sim_.Advance(600);
  const Ints drained = Power("ReadPowerStatus").value();
  EXPECT_LT(drained[0], start[0]);
  EXPECT_LT(drained[4], start[4]); // state of charge
  EXPECT_GT(drained[5], start[5]); // the board warmed up
  EXPECT_EQ(drained[14], 600);
  EXPECT_EQ(drained[15], 2);

  // Driving draws more than standing.
  Drive(500, 500, 0.5);
  EXPECT_GT((Power("ReadPowerStatus").value())[3], drained[3]);
  sim_.Advance(1.0);

  sim_.SetCharger(true);
  const Ints plugged = Power("ReadPowerStatus").value();
  EXPECT_GT(plugged[1], plugged[0]); // charge voltage above the battery's
  EXPECT_GT(plugged[2], plugged[3]); // charging outweighs the load
  sim_.Advance(600);
  const Ints charged = Power("ReadPowerStatus").value();
  EXPECT_GT(charged[0], plugged[0]);
  EXPECT_GT(charged[4], plugged[4]);
}

TEST_F(Simulator, SwitchedDownModulesShowInTheStatusAndStopTheirDevices) {
  // Module id and its position (1-based) in the status reply.
  const std::pair<int32_t, size_t> reported[] = {{4, 7},  {3, 8},  {2, 9},   {1, 10},
                                                 {6, 11}, {5, 12}, {11, 13}, {10, 14}};
  const Ints all_on = Power("ReadPowerStatus").value();
  for (size_t p = 7; p <= 14; ++p)
    EXPECT_EQ(all_on[p - 1], 0) << p;

  for (const auto &[id, position] : reported) {
    Power("PowerDown", {id});
    Ints status = Power("ReadPowerStatus").value();
    for (size_t p = 7; p <= 14; ++p)
      EXPECT_EQ(status[p - 1], p == position ? 1 : 0) << "module " << id << " position " << p;
    EXPECT_LT(status[3], all_on[3]) << "module " << id << " still draws current";
    Power("PowerUp", {id});
    status = Power("ReadPowerStatus").value();
    EXPECT_EQ(status[position - 1], 0);
  }

  // Spare modules switch without a status position; unknown ids are ignored.
  for (int32_t spare : {7, 8, 9, 12}) {
    Power("PowerDown", {spare});
    EXPECT_FALSE(State().module_on[static_cast<size_t>(spare)]) << spare;
  }
  Ints status = Power("ReadPowerStatus").value();
  for (size_t p = 7; p <= 14; ++p)
    EXPECT_EQ(status[p - 1], 0);
  const auto before = State().module_on;
  for (int32_t unknown : {0, 13, -1, 1000})
    Power("PowerDown", {unknown});
  EXPECT_EQ(State().module_on, before);

  // Drive down: velocity commands move nothing.
  Power("PowerDown", {1});
  const double x = State().pose.x;
  Drive(300, 300, 1.0);
  EXPECT_EQ(State().pose.x, x);
  Power("PowerUp", {1});
  Drive(300, 300, 0.5);
  EXPECT_GT(State().pose.x, x);

  // Sensor down: the rangers give no result at all.
  const int32_t sonar = Port(Service::UltraSonic);
  Power("PowerDown", {2});
  EXPECT_EQ(Call(sonar, "ReadSensors"), std::nullopt);
  Power("PowerUp", {2});
  EXPECT_EQ(Call(sonar, "ReadSensors").value().size(), 8u);
}

// ---- services and connections

TEST_F(Simulator, EveryServiceListsItsMethodsWithHelp) {
  const std::vector<std::pair<Service, std::vector<std::string>>> catalogue = {
      {Service::MotorDriver,
       {"VelocityControl", "ServoOn", "ServoOff", "ReadPosition", "ReadEncoder", "ChangePosition2",
        "ChangePosition"}},
      {Service::Bumper, {"ReadBumperArray", "SetBumperOffMode", "SetBumperDirMode"}},
      {Service::UltraSonic, {"ReadSensors"}},
      {Service::PowerModule, {"ReadPowerStatus", "PowerUp", "PowerDown"}},
      {Service::EmergencyKey, {"ReadEmergencyKey"}},
  };
  for (const auto &[service, methods] : catalogue) {
    std::vector<std::string> expected = methods;
    expected.insert(expected.end(),
                    {"KIVREL_LIST_METHODS", "KIVREL_METHOD_SIGNATURE", "KIVREL_METHOD_HELP"});
    const int32_t port = Port(service);
    List listed = CallList(port, "KIVREL_LIST_METHODS");
    EXPECT_THAT(AsStrings(listed.get()), ElementsAreArray(expected)) << "port " << port;
    for (const std::string &m : methods) {
      List arg = StringArgs(m.c_str());
      const auto help = AsStrings(CallList(port, "KIVREL_METHOD_HELP", arg.get()).get());
      ASSERT_EQ(help.size(), 1u) << m;
      EXPECT_GT(help[0].size(), 10u) << m;
      // The texts a user reads in --describe name the fields and the rules.
      for (const auto &[method, text] :
           {std::pair<std::string, std::string>{"VelocityControl", "stop 500 ms after"},
            {"ReadPowerStatus", "16 sample count"},
            {"PowerDown", "Drive 1, Sensor 2"}})
        if (m == method) {
          EXPECT_NE(help[0].find(text), std::string::npos) << help[0];
        }
    }
  }
  // A signature as the panel decomposes it.
  List arg = StringArgs("ReadPosition");
  List sig = CallList(Port(Service::MotorDriver), "KIVREL_METHOD_SIGNATURE", arg.get());
  ASSERT_NE(sig, nullptr);
  const kivrel_data *ret = kivrel_datalist_get_head(sig.get());
  ASSERT_STREQ(kivrel_data_get_datatype(ret), "datalist");
  EXPECT_THAT(AsStrings(static_cast<const kivrel_datalist *>(kivrel_data_get_data(ret))),
              ElementsAre("int", "int", "int"));
}

TEST_F(Simulator, OneConnectionCarriesSeveralCalls) {
  Client c = Connect(Port(Service::MotorDriver));
  ASSERT_NE(c, nullptr);
  List args = IntArgs({100, 200, 30});
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(kivrel_request_method_call(c.get(), "ChangePosition", args.get()), nullptr);
    List pos(kivrel_request_method_call(c.get(), "ReadPosition", nullptr));
    EXPECT_THAT(AsInts(pos.get()).value_or(Ints{}), ElementsAre(100, 200, 30));
    List enc(kivrel_request_method_call(c.get(), "ReadEncoder", nullptr));
    EXPECT_NE(enc, nullptr);
  }
  EXPECT_EQ(sim_.CallCount("ReadPosition"), 3u);
  EXPECT_EQ(sim_.CallCount("ChangePosition"), 3u);
}

TEST_F(Simulator, ConnectionBeyondTheLimitTakesTheLongestWaitingSlot) {
  const int32_t key = Port(Service::EmergencyKey);
  std::vector<Client> held;
  for (int i = 0; i < 64; ++i) {
    held.push_back(Connect(key));
    ASSERT_NE(held.back(), nullptr);
    // An answered call proves the simulator holds this connection.
    List reply(kivrel_request_method_call(held.back().get(), "ReadEmergencyKey", nullptr));
    ASSERT_NE(reply, nullptr) << i;
  }
  EXPECT_EQ(sim_.Connections().open, 64u);

  // The first has waited longest since its answer: it makes room.
  EXPECT_THAT(Call(key, "ReadEmergencyKey").value_or(Ints{}), ElementsAre(0));
  EXPECT_TRUE(PeerCloses(held[0]->socket_fd));
  EXPECT_EQ(sim_.Connections().evicted, 1u);
  EXPECT_EQ(sim_.Connections().refused, 0u);

  // The others still work; the slots of the call above and of a departed
  // client are free again, and taken without pushing anyone out.
  List again(kivrel_request_method_call(held[10].get(), "ReadEmergencyKey", nullptr));
  EXPECT_NE(again, nullptr);
  held.pop_back();
  for (int i = 0; i < 500 && sim_.Connections().open != 62u; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(sim_.Connections().open, 62u);
  EXPECT_THAT(Call(key, "ReadEmergencyKey").value_or(Ints{}), ElementsAre(0));
  EXPECT_EQ(sim_.Connections().evicted, 1u);
}

TEST(SimulatorIdle, SilentConnectionsAreClosed) {
  SimulatorOptions o = TestOptions();
  o.idle_timeout = std::chrono::milliseconds(100);
  RobotSimulator sim(o);
  ASSERT_TRUE(sim.Start());
  Client silent = Connect(sim.Port(Service::Bumper));
  Client after_call = Connect(sim.Port(Service::Bumper));
  ASSERT_NE(silent, nullptr);
  ASSERT_NE(after_call, nullptr);
  List reply(kivrel_request_method_call(after_call.get(), "ReadBumperArray", nullptr));
  EXPECT_NE(reply, nullptr);
  EXPECT_TRUE(PeerCloses(silent->socket_fd));
  EXPECT_TRUE(PeerCloses(after_call->socket_fd));
  EXPECT_EQ(sim.Connections().expired, 2u);
}

TEST(SimulatorLifecycle, StopReturnsWhileAClientIsStuckInsideAMessage) {
  RobotSimulator sim(TestOptions());
  ASSERT_TRUE(sim.Start());
  Client stuck = Connect(sim.Port(Service::PowerModule));
  ASSERT_NE(stuck, nullptr);
  const char partial[] = "KIVREL-1.1:500\n<?xml";
  ASSERT_EQ(send(stuck->socket_fd, partial, sizeof partial - 1, 0),
            static_cast<ssize_t>(sizeof partial - 1));
  // Wait (bounded) until the simulator holds the connection.
  for (int i = 0; i < 500 && sim.Connections().open == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(sim.Connections().open, 1u);
  // The default message deadline is 10 s: stop must not wait for it.
  const auto t0 = std::chrono::steady_clock::now();
  sim.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(8));
  EXPECT_TRUE(PeerCloses(stuck->socket_fd));
  EXPECT_EQ(Connect(sim.Port(Service::PowerModule)), nullptr); // Port() is 0 now
}

TEST(SimulatorLifecycle, StartFailsCleanlyWhenAPortIsTaken) {
  RobotSimulator first(TestOptions());
  ASSERT_TRUE(first.Start());
  SimulatorOptions o = TestOptions();
  o.ports[3] = first.Port(Service::MotorDriver);
  RobotSimulator second(o);
  EXPECT_FALSE(second.Start());
  // Nothing of the second one is left listening; the first goes on.
  EXPECT_EQ(second.Port(Service::MotorDriver), 0);
  EXPECT_THAT(Call(first.Port(Service::MotorDriver), "ReadPosition").value_or(Ints{}),
              ElementsAre(0, 0, 0));
}

TEST(SimulatorLifecycle, DefaultsToTheControllerPortsAndServesManyClientsAtOnce) {
  // The controller's ports are where it serves unless told otherwise; the
  // serving itself is tried on ports of the test's own, so that a simulator
  // or controller already on the fixed ones changes nothing.
  SimulatorOptions o; // the real-time clock running
  EXPECT_THAT(o.ports, ElementsAre(50010, 50011, 50012, 50017, 50022));
  o.ports = TestOptions().ports;
  o.bind_address = "127.0.0.1";
  RobotSimulator sim(o);
  ASSERT_TRUE(sim.Start());
  const int32_t motor = sim.Port(Service::MotorDriver);

  // The panel's pollers and drive threads, all at once.
  const std::pair<int32_t, const char *> reads[] = {
      {sim.Port(Service::UltraSonic), "ReadSensors"},
      {sim.Port(Service::Bumper), "ReadBumperArray"},
      {sim.Port(Service::EmergencyKey), "ReadEmergencyKey"},
      {motor, "ReadPosition"},
      {motor, "ReadEncoder"},
      {sim.Port(Service::PowerModule), "ReadPowerStatus"}};
  std::atomic<int> answered{0};
  std::vector<std::thread> threads;
  for (const auto &[port, method] : reads) {
    threads.emplace_back([&answered, port = port, method = method] {
      for (int i = 0; i < 25; ++i)
        if (Call(port, method)) ++answered;
    });
  }
  threads.emplace_back([motor] {
    for (int i = 0; i < 25; ++i)
      Call(motor, "VelocityControl", {200, 200});
  });
  for (auto &t : threads)
    t.join();
  EXPECT_EQ(answered.load(), 6 * 25);
  EXPECT_EQ(sim.CallCount("VelocityControl"), 25u);
  EXPECT_EQ(sim.Take().state.last_velocity_left, 200);
  sim.Stop();
}

} // namespace
