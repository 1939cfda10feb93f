#include "robot_proxies.h"

#include <cstdio>
#include <memory>
#include <utility>

#include "kivrel.hpp"

RobotAddress g_robotAddress;
std::atomic<int32_t> g_robotPortBase{kRobotPortBase};

int32_t ServicePort(int32_t port) {
  return port - RobotPort::MotorDriver + g_robotPortBase.load(std::memory_order_relaxed);
}

std::shared_ptr<const std::string> RobotAddress::Get() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_text;
}

void RobotAddress::Set(std::string address) {
  auto text = std::make_shared<const std::string>(std::move(address));
  std::lock_guard<std::mutex> lock(m_mutex);
  m_text = std::move(text);
}

namespace {

using kivrel::Client;
using kivrel::List;

constexpr char kSign1[] = "[{i}]";
constexpr char kSign2[] = "[{i}{i}]";
constexpr char kSign3[] = "[{i}{i}{i}]";
constexpr char kSign8[] = "[{i}{i}{i}{i}{i}{i}{i}{i}]";
constexpr char kSign16[] = "[{i}{i}{i}{i}{i}{i}{i}{i}{i}{i}{i}{i}{i}{i}{i}{i}]";

// What one call came back with. `connect` is 0 when connected, -1 when no
// client could be made or the connect failed (then nothing was sent);
// `made` tells the two failures apart.
struct CallOutcome {
  int connect = -1;
  bool made = false;
  List reply;
};

// The one call helper every operation goes through: create a client for the
// current controller address, connect, call, and hand back the reply. The
// argument list, if any, is released here; the connection is closed before
// the function returns.
CallOutcome Call(int32_t port, const char *method, List args) {
  CallOutcome out;
  std::shared_ptr<const std::string> address = g_robotAddress.Get();
  Client client(kivrel_tcp_client_create(address->c_str(), ServicePort(port)));
  if (!client) return out;
  out.made = true;
  out.connect = kivrel_tcp_client_connect(client.get()) == 0 ? 0 : -1;
  if (out.connect != 0) return out;
  out.reply.reset(kivrel_request_method_call(client.get(), method, args.get()));
  return out;
}

List Args(const char *sign, int a) { return List(kivrel_build_root_datalist(sign, (int32_t)a)); }
List Args(const char *sign, int a, int b) {
  return List(kivrel_build_root_datalist(sign, (int32_t)a, (int32_t)b));
}
List Args(const char *sign, int a, int b, int c) {
  return List(kivrel_build_root_datalist(sign, (int32_t)a, (int32_t)b, (int32_t)c));
}

// Decomposes `reply` into the atomic fields. The decomposition writes plain
// integers, so it works on a copy that starts from the fields' current
// values: a value the reply does not reach keeps what the field held.
template <size_t N>
void Store(const kivrel_datalist *reply, const char *sign, ProxyField *const (&fields)[N]) {
  int32_t v[N];
  for (size_t i = 0; i < N; ++i)
    v[i] = fields[i]->load();
  if constexpr (N == 1) {
    kivrel_decompose_root_datalist(reply, sign, &v[0]);
  } else if constexpr (N == 2) {
    kivrel_decompose_root_datalist(reply, sign, &v[0], &v[1]);
  } else if constexpr (N == 3) {
    kivrel_decompose_root_datalist(reply, sign, &v[0], &v[1], &v[2]);
  }
  for (size_t i = 0; i < N; ++i)
    fields[i]->store(v[i]);
}

template <size_t N> void StoreArray(const kivrel_datalist *reply, ProxyField (&fields)[N]) {
  int32_t v[N];
  for (size_t i = 0; i < N; ++i)
    v[i] = fields[i].load();
  if constexpr (N == 8) {
    kivrel_decompose_root_datalist(reply, kSign8, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6],
                                   &v[7]);
  } else {
    static_assert(N == 16);
    kivrel_decompose_root_datalist(reply, kSign16, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6],
                                   &v[7], &v[8], &v[9], &v[10], &v[11], &v[12], &v[13], &v[14],
                                   &v[15]);
  }
  for (size_t i = 0; i < N; ++i)
    fields[i].store(v[i]);
}

// A command: records the connect result, reads nothing from the reply.
void Command(ProxyField &connectStatus, int32_t port, const char *method, List args = nullptr) {
  CallOutcome out = Call(port, method, std::move(args));
  connectStatus.store(out.connect);
}

} // namespace

// ---- BumperProxy

void BumperProxy::ReadBumperArray() {
  CallOutcome out = Call(RobotPort::Bumper, "ReadBumperArray", nullptr);
  m_connectStatus.store(out.connect);
  if (out.connect != 0) return;
  m_replyStatus.store(out.reply ? 0 : -1);
  if (out.reply) Store(out.reply.get(), kSign2, {&m_frontRight, &m_frontLeft});
}
void BumperProxy::SetBumperOffMode() {
  Command(m_connectStatus, RobotPort::Bumper, "SetBumperOffMode");
}
void BumperProxy::SetBumperDirMode() {
  Command(m_connectStatus, RobotPort::Bumper, "SetBumperDirMode");
}

// ---- UltraSonicProxy

void UltraSonicProxy::ReadSensors() {
  CallOutcome out = Call(RobotPort::UltraSonic, "ReadSensors", nullptr);
  m_connectStatus.store(out.connect);
  if (out.connect != 0) {
    // Only a connect that was tried and failed is reported; a client that
    // could not even be made (no memory, no socket) passes in silence.
    if (out.made) {
      std::fputs("usonic eles \n", stdout);
      std::fflush(stdout);
    }
    return;
  }
  m_replyStatus.store(0);
  if (out.reply) {
    StoreArray(out.reply.get(), m_range);
  } else {
    m_replyStatus.store(-1);
    std::fputs("usonic nodata \n", stdout);
    std::fflush(stdout);
  }
}

// ---- EmergencyProxy

void EmergencyProxy::ReadEmergencyKey() {
  CallOutcome out = Call(RobotPort::Emergency, "ReadEmergencyKey", nullptr);
  m_connectStatus.store(out.connect);
  if (out.reply) Store(out.reply.get(), kSign1, {&m_emergencyKey});
}

// ---- MotorDriverProxy

void MotorDriverProxy::ReadPosition() {
  CallOutcome out = Call(RobotPort::MotorDriver, "ReadPosition", nullptr);
  m_connectStatus.store(out.connect);
  if (out.reply) Store(out.reply.get(), kSign3, {&m_x, &m_y, &m_theta});
}
void MotorDriverProxy::ReadEncoder() {
  CallOutcome out = Call(RobotPort::MotorDriver, "ReadEncoder", nullptr);
  m_connectStatus.store(out.connect);
  if (out.reply) Store(out.reply.get(), kSign2, {&m_encoderLeft, &m_encoderRight});
}
void MotorDriverProxy::ChangePosition2(int x, int y) {
  Command(m_connectStatus, RobotPort::MotorDriver, "ChangePosition2", Args(kSign2, x, y));
}
void MotorDriverProxy::ChangePosition(int x, int y, int theta) {
  Command(m_connectStatus, RobotPort::MotorDriver, "ChangePosition", Args(kSign3, x, y, theta));
}
void MotorDriverProxy::ServoOn() { Command(m_connectStatus, RobotPort::MotorDriver, "ServoOn"); }
void MotorDriverProxy::ServoOff() { Command(m_connectStatus, RobotPort::MotorDriver, "ServoOff"); }
void MotorDriverProxy::VelocityControl(int left, int right) {
  Command(m_connectStatus, RobotPort::MotorDriver, "VelocityControl", Args(kSign2, left, right));
}

// ---- PowerModuleProxy

void PowerModuleProxy::ReadPowerStatus() {
  CallOutcome out = Call(RobotPort::PowerModule, "ReadPowerStatus", nullptr);
  m_connectStatus.store(out.connect);
  if (out.reply) StoreArray(out.reply.get(), m_powerStatus);
}
void PowerModuleProxy::PowerUp(PowerModuleId module) {
  Call(RobotPort::PowerModule, "PowerUp", Args(kSign1, static_cast<int>(module)));
}
void PowerModuleProxy::PowerDown(PowerModuleId module) {
  Call(RobotPort::PowerModule, "PowerDown", Args(kSign1, static_cast<int>(module)));
}
