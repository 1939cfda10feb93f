// Allocation failure, walked over every allocation of the library's main
// paths: for N = 1, 2, ... the Nth allocation (the library's own and
// libxml2's) fails, once or from then on, and the path must end either
// with exactly the result of a run without failure or with a reported
// failure; it must never crash, leak, or succeed with something else. The
// walk of a path ends at the first N that its run no longer reaches.
//
// This program is built from the library's sources with the allocation
// hook compiled in (tests/fault.cmake); its main() installs libxml2's
// allocator before anything else touches libxml2.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/xmlmemory.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include "kivrel.h"
#include "kivrel.hpp"

// The hook the library calls before each of its allocations in this build.
namespace kivrel {
bool alloc_fails() noexcept;
}

namespace {

// ---- the countdown, one per thread

struct Countdown {
  bool armed = false;
  bool persistent = false; // after the first failure, every later one fails too
  long left = 0;
  bool fired = false;
};
thread_local Countdown t_countdown;

bool should_fail() noexcept {
  Countdown &c = t_countdown;
  if (!c.armed) return false;
  if (c.fired) return c.persistent;
  if (--c.left > 0) return false;
  c.fired = true;
  return true;
}

// Which allocation fails (0: none) and whether the later ones fail too; the
// path arms it in the thread whose allocations it means.
struct Injection {
  long n = 0;
  bool persistent = false;
  mutable std::atomic<bool> fired{false};
};

class Armed {
public:
  explicit Armed(const Injection &injection) : injection_(injection) {
    if (injection.n > 0) t_countdown = {true, injection.persistent, injection.n, false};
  }
  ~Armed() {
    if (injection_.n <= 0) return;
    if (t_countdown.fired) injection_.fired = true;
    t_countdown = {};
  }
  Armed(const Armed &) = delete;
  Armed &operator=(const Armed &) = delete;

private:
  const Injection &injection_;
};

// A method is the program's code, not the library's: it runs unarmed.
class Paused {
public:
  Paused() : saved_(t_countdown) { t_countdown.armed = false; }
  ~Paused() {
    saved_.fired = saved_.fired || t_countdown.fired;
    t_countdown = saved_;
  }

private:
  Countdown saved_;
};

// ---- libxml2's allocator, on the same countdown; counts its live blocks

std::atomic<long> g_xml_blocks{0};

void *xml_malloc(size_t n) {
  if (should_fail()) return nullptr;
  void *p = std::malloc(n);
  if (p != nullptr) ++g_xml_blocks;
  return p;
}
void *xml_realloc(void *p, size_t n) {
  if (should_fail()) return nullptr;
  void *q = std::realloc(p, n);
  if (q != nullptr && p == nullptr) ++g_xml_blocks;
  return q;
}
char *xml_strdup(const char *s) {
  if (should_fail()) return nullptr;
  char *copy = strdup(s);
  if (copy != nullptr) ++g_xml_blocks;
  return copy;
}
void xml_free(void *p) {
  if (p != nullptr) --g_xml_blocks;
  std::free(p);
}

} // namespace

bool kivrel::alloc_fails() noexcept { return should_fail(); }

namespace {

// ---- records owned by the test

using kivrel::Client;
using kivrel::Header;
using kivrel::List;
using kivrel::Method;
using kivrel::Registry;
using kivrel::Text;
using kivrel::Value;
using kivrel::XmlText;
struct BytesDeleter {
  void operator()(unsigned char *p) const { kivrel_mem_free(p); }
};
using Bytes = std::unique_ptr<unsigned char, BytesDeleter>;
struct NodeDeleter {
  void operator()(xmlNode *n) const { xmlFreeNode(n); }
};
using Node = std::unique_ptr<xmlNode, NodeDeleter>;

std::string Render(const kivrel_datalist *list) {
  if (list == nullptr) return "null";
  std::string out = "(";
  for (const kivrel_data *v = list->head; v != nullptr; v = v->next) {
    const std::string type = v->datatype != nullptr ? v->datatype : "?";
    out += out.size() > 1 ? " " : "";
    if (type == "int")
      out += std::to_string(*static_cast<kivrel_data_int *>(v->data));
    else if (type == "string")
      out +=
          '"' +
          std::string(kivrel_data_string_get_string(static_cast<kivrel_data_string *>(v->data))) +
          '"';
    else if (type == "datalist")
      out += Render(static_cast<kivrel_datalist *>(v->data));
    else if (type == "memblock_int8")
      out +=
          "<" + std::to_string(static_cast<kivrel_data_memblk_int8 *>(v->data)->size) + " bytes>";
    else
      out += "?" + type;
  }
  return out + ")";
}

// What a run of a path gave: a reported failure (ok false), or a result.
struct Outcome {
  bool ok = false;
  std::string result;
};
Outcome Result(std::string text) { return {true, std::move(text)}; }

// ---- the wire, by hand

constexpr char kCallDoc[] = "<?xml version=\"1.0\"?>\n"
                            "<method_call>\n"
                            "  <method_name>Power&#85;p</method_name>\n"
                            "  <method_datalist_arg>\n"
                            "    <datalist>\n"
                            "      <data><int>-41</int></data>\n"
                            "      <data><string>two &amp; &lt;three&gt; &#xE9;</string></data>\n"
                            "      <data><datalist><data><string><![CDATA[a<b]]></string></data>"
                            "<data><int>7</int></data></datalist></data>\n"
                            "    </datalist>\n"
                            "  </method_datalist_arg>\n"
                            "</method_call>\n";
constexpr char kResponseDoc[] =
    "<?xml version=\"1.0\"?>\n"
    "<method_response>\n"
    "  <method_datalist_ret>\n"
    "    <datalist>\n"
    "      <data><int>120</int></data>\n"
    "      <data><string>a longer text, to make the reader copy it"
    " &amp; join its pieces &lt;here&gt;</string></data>\n"
    "      <data><datalist><data><int>-45</int></data></datalist></data>\n"
    "    </datalist>\n"
    "  </method_datalist_ret>\n"
    "</method_response>\n";

std::string Frame(const std::string &doc) {
  return "KIVREL-1.1:" + std::to_string(doc.size()) + "\n" + doc;
}
std::string CallFrame(const std::string &name, const std::string &args) {
  return Frame("<?xml version=\"1.0\"?>\n<method_call><method_name>" + name +
               "</method_name><method_datalist_arg>" + args +
               "</method_datalist_arg></method_call>\n");
}
std::string StringArg(const std::string &text) {
  return "<datalist><data><string>" + text + "</string></data></datalist>";
}

List SampleList() {
  return List(kivrel_build_root_datalist("[{i}{s}{[{i}{s}]}]", 1, "two & <three>", -7,
                                         "\xC3\xA9t\xC3\xA9"));
}

// ---- the paths

Outcome Values(const Injection &injection) {
  Armed armed(injection);
  List list(kivrel_datalist_create());
  if (!list) return {};
  auto append = [&](Value value) {
    kivrel_datalist_ins_next(list.get(), kivrel_datalist_get_tail(list.get()), value.release());
  };
  Value number(kivrel_data_create());
  kivrel_data_int *payload = kivrel_data_int_create(42);
  if (!number || payload == nullptr || kivrel_data_int_link(number.get(), payload) != 0) {
    kivrel_data_int_destroy(payload);
    return {};
  }
  append(std::move(number));
  Value text(kivrel_data_create());
  kivrel_data_string *string = kivrel_data_string_create("forty-two");
  if (!text || string == nullptr || kivrel_data_string_link(text.get(), string) != 0) {
    kivrel_data_string_destroy(string);
    return {};
  }
  append(std::move(text));
  Value bytes(kivrel_data_create());
  kivrel_data_memblk_int8 *block = kivrel_data_memblk_int8_create(3);
  if (!bytes || block == nullptr || kivrel_data_memblk_int8_link(bytes.get(), block) != 0) {
    kivrel_data_memblk_int8_destroy(block);
    return {};
  }
  append(std::move(bytes));
  // A nested list typed by hand: the type name first, then the payload.
  Value nested(kivrel_data_create());
  if (!nested || kivrel_data_set_datatype(nested.get(), "datalist") != 0) return {};
  kivrel_datalist *inner = kivrel_datalist_create();
  if (inner == nullptr) return {};
  kivrel_data_set_data(nested.get(), inner);
  Value seven(kivrel_data_create());
  kivrel_data_int *seven_payload = kivrel_data_int_create(7);
  if (!seven || seven_payload == nullptr || kivrel_data_int_link(seven.get(), seven_payload) != 0) {
    kivrel_data_int_destroy(seven_payload);
    return {};
  }
  kivrel_datalist_ins_next(inner, nullptr, seven.release());
  append(std::move(nested));
  return Result(Render(list.get()));
}

Outcome BuildAndDecompose(const Injection &injection) {
  Armed armed(injection);
  const char *sign = "[{i}{s}{[{i}{s}]}{s}]";
  List list(kivrel_build_root_datalist(sign, 7, "seven", -1, "minus one", "end"));
  if (!list) return {};
  int32_t a = 0, b = 0;
  char s1[16] = "", s2[16] = "", s3[16] = "";
  if (kivrel_decompose_root_datalist(list.get(), sign, &a, s1, &b, s2, s3) != 0)
    return Result("decomposing failed");
  return Result(Render(list.get()) + " " + std::to_string(a) + s1 + std::to_string(b) + s2 + s3);
}

Outcome Base64(const Injection &injection) {
  Armed armed(injection);
  const unsigned char bytes[] = {0, 1, 2, 0xfe, 0xff, 'k', 'i', 'v', 'r'};
  int32_t text_len = 0, back_len = 0;
  Text text(kivrel_base64_encode(bytes, sizeof bytes, &text_len));
  if (!text) return {};
  Bytes back(kivrel_base64_decode(text.get(), text_len, &back_len));
  if (!back) return {};
  std::string result = std::string(text.get()) + " ";
  for (int32_t i = 0; i < back_len; ++i)
    result += std::to_string(back.get()[i]) + ",";
  return Result(result);
}

Outcome ElementTrees(const Injection &injection) {
  List list = SampleList();
  Armed armed(injection);
  Node node(kivrel_xmlnode_dump_datalist(list.get()));
  if (!node) return {};
  List back(kivrel_xmlnode_load_datalist(node.get()));
  if (!back) return {};
  return Result(Render(back.get()));
}

Outcome WriteCall(const Injection &injection) {
  List list = SampleList();
  Armed armed(injection);
  char *text = nullptr;
  int len = 0;
  if (kivrel_xml_serialize_method_call("PowerUp", list.get(), &text, &len) != 0) {
    if (text != nullptr) return Result("failed, yet handed out a text");
    return {};
  }
  XmlText doc(text);
  return Result(std::string(text, static_cast<size_t>(len)));
}

Outcome WriteResponse(const Injection &injection) {
  List list = SampleList();
  Armed armed(injection);
  char *text = nullptr;
  int len = 0;
  if (kivrel_xml_serialize_method_response(list.get(), &text, &len) != 0) {
    if (text != nullptr) return Result("failed, yet handed out a text");
    return {};
  }
  XmlText doc(text);
  return Result(std::string(text, static_cast<size_t>(len)));
}

Outcome ReadCall(const Injection &injection) {
  Armed armed(injection);
  char *name = nullptr;
  kivrel_datalist *args = nullptr;
  if (kivrel_xml_deserialize_method_call(&name, &args, kCallDoc) != 0) {
    if (name != nullptr || args != nullptr) return Result("failed, yet handed out values");
    return {};
  }
  Text owned_name(name);
  List owned_args(args);
  return Result(std::string(name) + " " + Render(args));
}

Outcome ReadResponse(const Injection &injection) {
  Armed armed(injection);
  kivrel_datalist *ret = nullptr;
  if (kivrel_xml_deserialize_method_response(&ret, kResponseDoc) != 0) {
    if (ret != nullptr) return Result("failed, yet handed out a list");
    return {};
  }
  List owned(ret);
  return Result(Render(ret));
}

Outcome HeaderLine(const Injection &injection) {
  Armed armed(injection);
  Header header(kivrel_header_create(KIVREL_PROTOCOL, 216));
  if (!header) return {};
  if (kivrel_header_set_name_ver(header.get(), "KIVREL-9.9") != 0) return {};
  char *line = nullptr;
  int32_t len = 0;
  if (kivrel_header_serialize(header.get(), &line, &len) != 0) return {};
  Text owned_line(line);
  kivrel_header *parsed = nullptr;
  if (kivrel_header_deserialize(&parsed, line) != 0) return {};
  Header owned(parsed);
  return Result(std::string(line, static_cast<size_t>(len)) + kivrel_header_get_name_ver(parsed) +
                ":" + std::to_string(kivrel_header_get_bodylen(parsed)));
}

// The method of the test service: adds one to an integer and sends a text
// back. It checks the text's length before decomposing it.
int Echo(const kivrel_datalist *args, kivrel_datalist **ret) {
  Paused paused;
  char text[64];
  int32_t n = 0;
  const kivrel_data *first = args != nullptr ? kivrel_datalist_get_head(args) : nullptr;
  const kivrel_data *second = first != nullptr ? kivrel_data_get_next(first) : nullptr;
  if (second == nullptr || kivrel_data_get_datatype(second) == nullptr ||
      std::strcmp(kivrel_data_get_datatype(second), "string") != 0 ||
      kivrel_data_string_strlen(static_cast<kivrel_data_string *>(kivrel_data_get_data(second))) >=
          sizeof text)
    return 1;
  if (kivrel_decompose_root_datalist(args, "[{i}{s}]", &n, text) != 0) return 1;
  *ret = kivrel_build_root_datalist("[{i}{s}]", n + 1, text);
  return 0;
}

Outcome Registration(const Injection &injection) {
  Armed armed(injection);
  Registry registry(kivrel_registry_create());
  if (!registry) return {};
  Method echo(kivrel_method_create("Echo", Echo, "[{i}{s}]", "[{i}{[{s}]}]", "Adds one."));
  if (!echo) return {};
  if (kivrel_registry_add_method(registry.get(), echo.get()) != 0) return {};
  echo.release(); // the registry's deleter disposes of it now
  if (kivrel_introspection_register(registry.get()) != 0) return {};
  if (kivrel_registry_get_size(registry.get()) != 4) return Result("registry has the wrong size");

  struct Query {
    const char *method, *about;
  };
  std::string result;
  for (const Query &q :
       {Query{"KIVREL_LIST_METHODS", nullptr}, Query{"KIVREL_METHOD_SIGNATURE", "Echo"},
        Query{"KIVREL_METHOD_HELP", "Echo"}}) {
    const kivrel_method *method = kivrel_registry_get_method(registry.get(), q.method);
    if (method == nullptr) return Result(std::string("lookup of ") + q.method + " failed");
    List args;
    if (q.about != nullptr) {
      Paused paused;
      args.reset(kivrel_build_root_datalist("[{s}]", q.about));
    }
    kivrel_datalist *ret = nullptr;
    const int status = kivrel_method_ex_execute(method, args.get(), &ret, registry.get());
    List owned(ret);
    if (status == -1) {
      if (ret != nullptr) return Result("failed, yet stored a result");
      return {};
    }
    result += std::to_string(status) + Render(ret);
  }
  return Result(result);
}

// ---- the same over loopback

class Listener {
public:
  Listener() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        listen(fd_, 8) == 0 && getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len) == 0)
      port_ = ntohs(a.sin_port);
  }
  ~Listener() {
    if (fd_ >= 0) close(fd_);
  }
  int fd() const { return fd_; }
  int32_t port() const { return port_; }

private:
  int fd_ = -1;
  int32_t port_ = -1;
};

constexpr int kIoTimeoutSeconds = 10; // only a broken side ever waits this long

int Connect(int32_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  timeval tv{kIoTimeoutSeconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Accepts one connection and answers one call on it, armed as given.
int ServeOne(const Listener &listener, struct kivrel_service *service, const Injection &injection) {
  const int fd = accept(listener.fd(), nullptr, nullptr);
  if (fd < 0) return -2;
  timeval tv{kIoTimeoutSeconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  kivrel_tcp_server *connection = kivrel_tcp_server_new();
  if (connection == nullptr) {
    close(fd);
    return -2;
  }
  kivrel_tcp_server_set_port(connection, 0);
  kivrel_tcp_server_set_socket_fd(connection, fd);
  int rc;
  {
    Armed armed(injection);
    rc = kivrel_service(connection, service);
  }
  kivrel_tcp_server_destroy(connection);
  return rc;
}

struct TestService {
  TestService() {
    registry.reset(kivrel_registry_create());
    kivrel_registry_add_method(
        registry.get(), kivrel_method_create("Echo", Echo, "[{i}{s}]", "[{i}{s}]", "Adds one."));
    kivrel_introspection_register(registry.get());
    service = kivrel_service_create(registry.get());
  }
  ~TestService() { kivrel_service_free(service); }
  Registry registry;
  struct kivrel_service *service = nullptr;
};

// The client armed, the service not.
Outcome ClientCall(const Injection &injection, const Listener &listener, TestService &test) {
  const Injection unarmed;
  int served = 0;
  std::thread server([&] { served = ServeOne(listener, test.service, unarmed); });
  Outcome outcome;
  bool connected = false;
  {
    List args(kivrel_build_root_datalist("[{i}{s}]", 41, "two & <three>"));
    Armed armed(injection);
    Client client(kivrel_tcp_client_create("127.0.0.1", listener.port()));
    if (client && kivrel_tcp_client_connect(client.get()) == 0) {
      connected = true;
      // The status tells "no result" from a failure, so a lost answer
      // dressed as no result shows as a wrong result.
      kivrel_datalist *raw = nullptr;
      const int status = kivrel_request_method_call_status(client.get(), "Echo", args.get(), &raw);
      List ret(raw);
      if (status == 0)
        outcome = Result(Render(ret.get()));
      else if (ret)
        outcome = Result("failed, yet handed out a list");
    }
  }
  if (!connected) close(Connect(listener.port())); // lets the server's accept return
  server.join();
  (void)served;
  return outcome;
}

// The service armed, the client writing and reading raw bytes.
Outcome ServiceAnswer(const Injection &injection, const Listener &listener, TestService &test,
                      const std::string &call) {
  int rc = -2;
  std::thread server([&] { rc = ServeOne(listener, test.service, injection); });
  const int fd = Connect(listener.port());
  std::string got;
  if (fd >= 0) {
    for (size_t sent = 0; sent < call.size();) {
      ssize_t n = send(fd, call.data() + sent, call.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    shutdown(fd, SHUT_WR);
    char buf[4096];
    for (int i = 0; i < 1024; ++i) {
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
    close(fd);
  }
  server.join();
  if (rc == 0) return Result(got);
  if (!got.empty()) return Result("failed, yet sent " + got);
  return {};
}

// ---- the walk

struct Figures {
  std::string path;
  bool persistent = false;
  long points = 0, exact = 0, failed = 0;
};

constexpr long kMaxPoints = 100000;

Figures Walk(const std::string &name, bool persistent,
             const std::function<Outcome(const Injection &)> &path) {
  Figures figures{name, persistent};
  const Injection none;
  const Outcome reference = path(none);
  EXPECT_TRUE(reference.ok) << name << ": fails without any failed allocation";
  // libxml2 keeps the thread's last error, message and all, until the next.
  xmlResetLastError();
  const long blocks = g_xml_blocks;
  for (long n = 1; n <= kMaxPoints; ++n) {
    Injection injection;
    injection.n = n;
    injection.persistent = persistent;
    const Outcome got = path(injection);
    if (!injection.fired) {
      // Past the last allocation of the path: the run was a plain one.
      EXPECT_TRUE(got.ok && got.result == reference.result) << name << ": unarmed run differs";
      break;
    }
    ++figures.points;
    if (!got.ok)
      ++figures.failed;
    else if (got.result == reference.result)
      ++figures.exact;
    else
      ADD_FAILURE() << name << (persistent ? " (from" : " (only") << " allocation " << n
                    << " failing) succeeded with\n  " << got.result << "\ninstead of\n  "
                    << reference.result;
  }
  EXPECT_GT(figures.points, 0) << name << ": no allocation reached";
  xmlResetLastError();
  EXPECT_EQ(g_xml_blocks, blocks) << name << ": libxml2 blocks left over";
#if defined(__SANITIZE_ADDRESS__)
  EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0) << name << ": leaks";
#endif
  return figures;
}

TEST(FaultInjection, EveryFailedAllocationGivesTheExactResultOrAReportedFailure) {
  Listener listener;
  ASSERT_GT(listener.port(), 0);
  TestService test;
  ASSERT_NE(test.service, nullptr);
  const std::vector<std::pair<std::string, std::function<Outcome(const Injection &)>>> paths = {
      {"values", Values},
      {"build and decompose", BuildAndDecompose},
      {"Base64", Base64},
      {"element trees", ElementTrees},
      {"call document written", WriteCall},
      {"call document read", ReadCall},
      {"response document written", WriteResponse},
      {"response document read", ReadResponse},
      {"header", HeaderLine},
      {"registry and introspection", Registration},
      {"client call over loopback",
       [&](const Injection &i) { return ClientCall(i, listener, test); }},
      {"service answering a call",
       [&](const Injection &i) {
         return ServiceAnswer(i, listener, test,
                              CallFrame("Echo",
                                        "<datalist><data><int>41</int></data><data><string>"
                                        "two &amp; &lt;three&gt;</string></data></datalist>"));
       }},
      {"service listing methods",
       [&](const Injection &i) {
         return ServiceAnswer(i, listener, test, CallFrame("KIVREL_LIST_METHODS", ""));
       }},
      {"service describing signatures",
       [&](const Injection &i) {
         return ServiceAnswer(i, listener, test,
                              CallFrame("KIVREL_METHOD_SIGNATURE", StringArg("Echo")));
       }},
      {"service giving help",
       [&](const Injection &i) {
         return ServiceAnswer(i, listener, test,
                              CallFrame("KIVREL_METHOD_HELP", StringArg("Echo")));
       }},
  };
  std::vector<Figures> all;
  for (bool persistent : {false, true})
    for (const auto &[name, path] : paths)
      all.push_back(Walk(name, persistent, path));

  long points = 0, exact = 0, failed = 0;
  std::printf("%-32s %-12s %8s %8s %8s\n", "path", "failing", "points", "exact", "reported");
  for (const Figures &f : all) {
    std::printf("%-32s %-12s %8ld %8ld %8ld\n", f.path.c_str(),
                f.persistent ? "from N on" : "N only", f.points, f.exact, f.failed);
    points += f.points;
    exact += f.exact;
    failed += f.failed;
  }
  std::printf("%zu walks, %ld injection points: %ld exact results, %ld reported failures\n",
              all.size(), points, exact, failed);
}

TEST(FaultInjection, SettersKeepTheOldValueWhenTheCopyFails) {
  Value value(kivrel_data_create());
  ASSERT_NE(value, nullptr);
  ASSERT_EQ(kivrel_data_int_link(value.get(), kivrel_data_int_create(5)), 0);
  {
    Injection first;
    first.n = 1;
    Armed armed(first);
    EXPECT_EQ(kivrel_data_set_datatype(value.get(), "string"), -1);
  }
  // Still "int", so destroying the value releases its payload as one.
  EXPECT_STREQ(kivrel_data_get_datatype(value.get()), "int");

  Method method(kivrel_method_create("Old", Echo, "[{i}]", "[{s}]", "Old help."));
  ASSERT_NE(method, nullptr);
  using Setter = int (*)(kivrel_method *, const char *);
  using Getter = char *(*)(const kivrel_method *);
  const std::pair<Setter, Getter> fields[] = {
      {kivrel_method_set_name, kivrel_method_get_name},
      {kivrel_method_set_sign_datalist_arg, kivrel_method_get_sign_datalist_arg},
      {kivrel_method_set_sign_datalist_ret, kivrel_method_get_sign_datalist_ret},
      {kivrel_method_set_help, kivrel_method_get_help},
  };
  for (const auto &[set, get] : fields) {
    const std::string old = get(method.get());
    Injection first;
    first.n = 1;
    {
      Armed armed(first);
      EXPECT_EQ(set(method.get(), "New"), -1) << old;
    }
    EXPECT_TRUE(first.fired);
    EXPECT_EQ(get(method.get()), old);
    EXPECT_EQ(set(method.get(), "New"), 0);
    EXPECT_STREQ(get(method.get()), "New");
    Injection any;
    any.n = 1;
    any.persistent = true;
    Armed armed(any);
    EXPECT_EQ(set(method.get(), nullptr), 0); // clearing needs no memory
    EXPECT_EQ(get(method.get()), nullptr);
  }
}

#if defined(KIVREL_FAULT_PLAIN_CALLOC)
extern "C" void fault_fail_next_plain_calloc(void);

// The first call of a thread that is not libxml2's first makes libxml2's
// per-thread block with plain calloc; when that fails, the call fails
// (libxml2 hands back no block, and reading its error channel through the
// missing block would crash), and the thread's next call works.
TEST(FaultInjection, ThreadWhoseLibxml2StateCannotBeMadeFailsCleanly) {
  // Under valgrind its own calloc replaces this program's.
  fault_fail_next_plain_calloc();
  void *probe = std::calloc(1, 1);
  std::free(probe);
  if (probe != nullptr) GTEST_SKIP() << "calloc is not this program's here";
  List list = SampleList(); // made here: the thread's first calloc must be libxml2's
  const std::function<int()> calls[] = {
      [] {
        char *name = nullptr;
        kivrel_datalist *args = nullptr;
        int rc = kivrel_xml_deserialize_method_call(&name, &args, kCallDoc);
        kivrel_mem_free(name);
        kivrel_datalist_destroy(args);
        return rc;
      },
      [] {
        // A reference in the name is libxml2's to resolve: this call
        // enters libxml2.
        char *doc = nullptr;
        int len = 0;
        int rc = kivrel_xml_serialize_method_call("Power&#85;p", nullptr, &doc, &len);
        kivrel_xml_free(doc);
        return rc;
      },
      [&list] {
        Node node(kivrel_xmlnode_dump_datalist(list.get()));
        return node ? 0 : -1;
      },
  };
  for (const auto &call : calls) {
    int first = -2, second = -2;
    std::thread thread([&] {
      fault_fail_next_plain_calloc();
      first = call();
      second = call();
    });
    thread.join();
    EXPECT_EQ(first, -1);
    EXPECT_EQ(second, 0);
  }

  // The library's own document writer needs no libxml2 state at all.
  int direct = -2;
  std::thread thread([&] {
    fault_fail_next_plain_calloc();
    char *doc = nullptr;
    int len = 0;
    direct = kivrel_xml_serialize_method_response(nullptr, &doc, &len);
    kivrel_xml_free(doc);
  });
  thread.join();
  EXPECT_EQ(direct, 0);
}
#endif

} // namespace

int main(int argc, char **argv) {
  // Before anything else reaches libxml2.
  xmlMemSetup(xml_free, xml_malloc, xml_realloc, xml_strdup);
  xmlInitParser();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
