// The robot access layer against scripted services on ports of the test's
// own and against no service at all.
#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "example_documents.h"
#include "fake_service.h"
#include "robot_proxies.h"
#include "robot_ports.h"

namespace {

// Nothing listens at the base until a test starts a scripted service there.
[[maybe_unused]] const testing::Environment *const kOwnPorts =
    testing::AddGlobalTestEnvironment(new OwnRobotPorts);

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

int OpenDescriptors() {
  int n = 0;
  if (DIR *d = opendir("/proc/self/fd")) {
    while (readdir(d) != nullptr)
      ++n;
    closedir(d);
  }
  return n;
}

// The call documents as the controller receives them, written out by hand.
const std::string kReadBumperArrayCall = kCallWithoutArgs;
std::string PowerCall(const char *method, int module) {
  return std::string("<?xml version=\"1.0\"?>\n<method_call>\n  <method_name>") + method +
         "</method_name>\n  <method_datalist_arg>\n    <datalist>\n      <data>\n        <int>" +
         std::to_string(module) +
         "</int>\n      </data>\n    </datalist>\n  </method_datalist_arg>\n</method_call>\n";
}

class ProxyTest : public testing::Test {
protected:
  void SetUp() override { g_robotAddress.Set("127.0.0.1"); }
};

TEST_F(ProxyTest, UnreachableControllerChangesNothingButConnectStatus) {
  for (const char *address : {"127.0.0.1", "", "robot", "300.1.1.1"}) {
    SCOPED_TRACE(address);
    g_robotAddress.Set(address);
    int fds = OpenDescriptors();

    BumperProxy bumper;
    bumper.m_frontLeft = 3;
    bumper.m_frontRight = 4;
    bumper.m_replyStatus = 0;
    bumper.m_connectStatus = 0;
    bumper.ReadBumperArray();
    EXPECT_EQ(bumper.m_connectStatus, -1);
    EXPECT_EQ(bumper.m_replyStatus, 0);
    EXPECT_EQ(bumper.m_frontLeft, 3);
    EXPECT_EQ(bumper.m_frontRight, 4);
    bumper.m_connectStatus = 0;
    bumper.SetBumperDirMode();
    EXPECT_EQ(bumper.m_connectStatus, -1);

    MotorDriverProxy motor;
    EXPECT_EQ(motor.m_x + motor.m_y + motor.m_theta + motor.m_encoderLeft + motor.m_encoderRight,
              0);
    motor.m_x = 11;
    motor.m_encoderRight = 12;
    for (auto op :
         {+[](MotorDriverProxy &m) { m.ReadPosition(); },
          +[](MotorDriverProxy &m) { m.ReadEncoder(); }, +[](MotorDriverProxy &m) { m.ServoOn(); },
          +[](MotorDriverProxy &m) { m.ServoOff(); },
          +[](MotorDriverProxy &m) { m.ChangePosition2(1, 2); },
          +[](MotorDriverProxy &m) { m.ChangePosition(1, 2, 3); },
          +[](MotorDriverProxy &m) { m.VelocityControl(200, 200); }}) {
      motor.m_connectStatus = 0;
      op(motor);
      EXPECT_EQ(motor.m_connectStatus, -1);
    }
    EXPECT_EQ(motor.m_x, 11);
    EXPECT_EQ(motor.m_encoderRight, 12);

    EmergencyProxy emergency;
    emergency.m_emergencyKey = 1;
    emergency.m_connectStatus = 0;
    emergency.ReadEmergencyKey();
    EXPECT_EQ(emergency.m_connectStatus, -1);
    EXPECT_EQ(emergency.m_emergencyKey, 1);

    UltraSonicProxy sonar;
    sonar.m_range[6] = 77;
    sonar.m_replyStatus = 0;
    CaptureStdout();
    sonar.ReadSensors();
    EXPECT_EQ(GetCapturedStdout(), "usonic eles \n");
    EXPECT_EQ(sonar.m_connectStatus, -1);
    EXPECT_EQ(sonar.m_replyStatus, 0);
    EXPECT_EQ(sonar.m_range[6], 77);

    PowerModuleProxy power;
    power.m_powerStatus[15] = 5;
    power.m_connectStatus = 0;
    power.PowerDown(PowerModuleId::Drive);
    power.PowerUp(PowerModuleId::Drive);
    EXPECT_EQ(power.m_connectStatus, 0) << "switching leaves the status alone";
    power.ReadPowerStatus();
    EXPECT_EQ(power.m_connectStatus, -1);
    EXPECT_EQ(power.m_powerStatus[15], 5);

    EXPECT_EQ(OpenDescriptors(), fds) << "every operation closes its socket";
  }
}

TEST_F(ProxyTest, UltraSonicReportsAFailedConnectButNotAClientThatCouldNotBeMade) {
  // A connect that fails (nothing listens on the service's port) is reported.
  UltraSonicProxy sonar;
  sonar.m_range[0] = 42;
  sonar.m_connectStatus = 0;
  CaptureStdout();
  sonar.ReadSensors();
  EXPECT_EQ(GetCapturedStdout(), "usonic eles \n");
  EXPECT_EQ(sonar.m_connectStatus, -1);

  // No socket can be had: the descriptor limit is lowered to the lowest free
  // descriptor for the one call, so the client is never made.
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  CaptureStdout();
  const int lowestFree = dup(0);
  ASSERT_GE(lowestFree, 0);
  close(lowestFree);
  rlimit lowered = saved;
  lowered.rlim_cur = static_cast<rlim_t>(lowestFree);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
  sonar.m_connectStatus = 0;
  sonar.ReadSensors();
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(sonar.m_connectStatus, -1);
  EXPECT_EQ(sonar.m_range[0], 42);
}

TEST_F(ProxyTest, EachOperationMakesOneConnectionAndDecodesTheReply) {
  FakeService service(ServicePort(RobotPort::Bumper));
  service.Answer(FakeService::Reply::Bytes, FakeService::Response(FakeService::Ints({1, 0})));
  BumperProxy bumper;
  bumper.ReadBumperArray();
  EXPECT_EQ(bumper.m_connectStatus, 0);
  EXPECT_EQ(bumper.m_replyStatus, 0);
  EXPECT_EQ(bumper.m_frontRight, 1) << "position 1 is the front-right bumper";
  EXPECT_EQ(bumper.m_frontLeft, 0);
  bumper.SetBumperOffMode();
  bumper.SetBumperDirMode();
  EXPECT_EQ(service.Connections(), 3);
  std::vector<std::string> requests = service.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0], kReadBumperArrayCall);
  EXPECT_NE(requests[1].find("<method_name>SetBumperOffMode</method_name>"), std::string::npos);
  EXPECT_NE(requests[2].find("<method_name>SetBumperDirMode</method_name>"), std::string::npos);
}

TEST_F(ProxyTest, PowerSwitchesSendTheControllersModuleNumbers) {
  FakeService service(ServicePort(RobotPort::PowerModule));
  service.Answer(FakeService::Reply::Bytes, FakeService::Response(""));
  PowerModuleProxy power;
  const std::pair<PowerModuleId, int> modules[] = {
      {PowerModuleId::Drive, 1}, {PowerModuleId::Spare3, 8}, {PowerModuleId::Spare2, 9},
      {PowerModuleId::Lcd, 10},  {PowerModuleId::Rx64, 11},  {PowerModuleId::Spare4, 12},
  };
  for (auto [module, number] : modules) {
    power.PowerDown(module);
    power.PowerUp(module);
  }
  std::vector<std::string> requests = service.Requests();
  ASSERT_EQ(requests.size(), 2 * std::size(modules));
  for (size_t i = 0; i < std::size(modules); ++i) {
    EXPECT_EQ(requests[2 * i], PowerCall("PowerDown", modules[i].second));
    EXPECT_EQ(requests[2 * i + 1], PowerCall("PowerUp", modules[i].second));
  }
  EXPECT_EQ(power.m_connectStatus, -1) << "switching never records a status";

  // All sixteen positions are decoded, although the panel shows fewer.
  service.Answer(FakeService::Reply::Bytes,
                 FakeService::Response(FakeService::Ints(
                     {25000, 27000, 1500, 900, 5, 6, 0, 1, 0, 1, 0, 1, 0, 1, 15, 16})));
  power.ReadPowerStatus();
  EXPECT_EQ(power.m_connectStatus, 0);
  EXPECT_EQ(power.m_powerStatus[0], 25000);
  EXPECT_EQ(power.m_powerStatus[3], 900);
  EXPECT_EQ(power.m_powerStatus[7], 1);
  EXPECT_EQ(power.m_powerStatus[14], 15);
  EXPECT_EQ(power.m_powerStatus[15], 16);
  EXPECT_EQ(service.Connections(), 2 * static_cast<int>(std::size(modules)) + 1);
}

TEST_F(ProxyTest, MissingOrMisshapenRepliesKeepTheFields) {
  FakeService sonarService(ServicePort(RobotPort::UltraSonic));
  FakeService bumperService(ServicePort(RobotPort::Bumper));
  UltraSonicProxy sonar;
  BumperProxy bumper;

  sonarService.Answer(FakeService::Reply::Bytes,
                      FakeService::Response(FakeService::Ints({10, 20, 30, 40, 50, 60, 70, 8})));
  CaptureStdout();
  sonar.ReadSensors();
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(sonar.m_replyStatus, 0);
  EXPECT_EQ(sonar.m_range[0], 10);
  EXPECT_EQ(sonar.m_range[6], 70);
  EXPECT_EQ(sonar.m_range[7], 8);

  // The connection succeeds but nothing usable comes back.
  for (auto how : {FakeService::Reply::CloseAfterRequest, FakeService::Reply::CloseAtOnce}) {
    sonarService.Answer(how);
    bumperService.Answer(how);
    sonar.m_replyStatus = 0;
    CaptureStdout();
    sonar.ReadSensors();
    EXPECT_EQ(GetCapturedStdout(), "usonic nodata \n");
    EXPECT_EQ(sonar.m_connectStatus, 0);
    EXPECT_EQ(sonar.m_replyStatus, -1);
    EXPECT_EQ(sonar.m_range[0], 10);

    bumper.m_frontLeft = 1;
    bumper.m_replyStatus = 0;
    CaptureStdout();
    bumper.ReadBumperArray();
    EXPECT_EQ(GetCapturedStdout(), "") << "only the ultrasonic read reports";
    EXPECT_EQ(bumper.m_connectStatus, 0);
    EXPECT_EQ(bumper.m_replyStatus, -1);
    EXPECT_EQ(bumper.m_frontLeft, 1);
  }

  // An empty result reads as no reply; a reply of the wrong shape is a
  // reply: the status says so, and no value is read as a type it is not.
  bumperService.Answer(FakeService::Reply::Bytes, FakeService::Response(""));
  bumper.ReadBumperArray();
  EXPECT_EQ(bumper.m_replyStatus, -1);
  bumperService.Answer(FakeService::Reply::Bytes,
                       FakeService::Response("      <data>\n        <string>x</string>\n"
                                             "      </data>\n"));
  bumper.ReadBumperArray();
  EXPECT_EQ(bumper.m_replyStatus, 0);
  EXPECT_EQ(bumper.m_frontLeft, 1);
  // A shorter reply fills what it reaches.
  bumperService.Answer(FakeService::Reply::Bytes, FakeService::Response(FakeService::Ints({7})));
  bumper.ReadBumperArray();
  EXPECT_EQ(bumper.m_frontRight, 7);
  EXPECT_EQ(bumper.m_frontLeft, 1);
  EXPECT_EQ(sonarService.Connections(), 3);
  EXPECT_EQ(bumperService.Connections(), 5);
}

// Several threads on one proxy while the address is replaced: each
// operation has its own connection, and ThreadSanitizer sees no race.
TEST_F(ProxyTest, ConcurrentOperationsOnOneProxyShareNothingButFields) {
  FakeService service(ServicePort(RobotPort::MotorDriver));
  service.Answer(FakeService::Reply::Bytes, FakeService::Response(FakeService::Ints({5, 6, 7})));
  MotorDriverProxy motor;
  constexpr int kThreads = 4, kCalls = 10;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < kCalls; ++i) {
        motor.ReadPosition();
        (void)motor.m_connectStatus.load();
      }
    });
  for (int i = 0; i < kCalls; ++i)
    g_robotAddress.Set("127.0.0.1");
  for (auto &t : threads)
    t.join();
  EXPECT_EQ(service.Connections(), kThreads * kCalls);
  EXPECT_EQ(motor.m_connectStatus, 0);
  EXPECT_EQ(motor.m_x, 5);
  EXPECT_EQ(motor.m_y, 6);
  EXPECT_EQ(motor.m_theta, 7);
}

} // namespace
