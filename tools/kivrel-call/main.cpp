// kivrel-call: call any method of a service built on libkivrel from a shell.
//
//   kivrel-call [OPTION]... HOST PORT METHOD [SIGNATURE [ARG...]]
//   kivrel-call [OPTION]... HOST PORT --list
//   kivrel-call [OPTION]... HOST PORT --describe METHOD
//
// The exit status tells what happened (kExit* below, and --help).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kivrel.hpp"

#ifndef KIVREL_PROJECT_VERSION
#define KIVREL_PROJECT_VERSION "unknown"
#endif

namespace {

constexpr int kExitOk = 0;
constexpr int kExitNotDescribed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitBadAddress = 3;
constexpr int kExitRefused = 4;
constexpr int kExitTimeout = 5;
constexpr int kExitNotAResponse = 6;
constexpr int kExitNoSuchMethod = 7;
constexpr int kExitWrongArguments = 8;
// Nesting the tool accepts on the command line; the library refuses deeper.
constexpr int kMaxDepth = KIVREL_MAX_DEPTH;
// Longest --timeout: an hour (0 waits for ever).
constexpr long kTimeoutMaxMs = 3600 * 1000;
constexpr int32_t kTimeoutDefaultMs = 1000;

const char kUsage[] =
    "Usage: kivrel-call [OPTION]... HOST PORT METHOD [SIGNATURE [ARG...]]\n"
    "  or:  kivrel-call [OPTION]... HOST PORT --list\n"
    "  or:  kivrel-call [OPTION]... HOST PORT --describe METHOD\n"
    "Calls METHOD on the libkivrel service at HOST (dotted IPv4) and PORT and\n"
    "prints the result list, one value per line with its type, nested lists\n"
    "indented; \"(no result)\" when the service answered without one.\n"
    "SIGNATURE describes the arguments: a list is [ values ], a value is { item },\n"
    "an item is i (integer), s (text) or a nested list; ARGs follow in order.\n"
    "--list prints the service's methods, --describe METHOD its signatures and help.\n"
    "Before a call, a service that lists its methods is asked whether it has\n"
    "METHOD, and one that describes METHOD whether the arguments fit its\n"
    "signature; a call they rule out is not made (exit status 7 or 8).\n"
    "\n"
    "Options (before HOST):\n"
    "  --timeout MS   give up when connecting, sending the call or receiving\n"
    "                 the whole answer takes longer than MS milliseconds (0 to\n"
    "                 3600000, 0 waits for ever; default 1000)\n"
    "  --show-wire    print every request and response on standard error\n"
    "                 exactly as sent and received, header lines included\n"
    "  --no-check     call METHOD without asking the service first\n"
    "  --help         show this help and exit\n"
    "  --version      show the version and exit\n"
    "\n"
    "Exit status:\n"
    "  0  the service answered (with a result, or \"(no result)\")\n"
    "  1  --describe: the service does not describe that method; --list: the\n"
    "     service does not list its methods\n"
    "  2  usage error\n"
    "  3  HOST is not a dotted IPv4 address\n"
    "  4  connection refused, or no route to HOST\n"
    "  5  time-out: no connection, or no whole answer, in time\n"
    "  6  the answer is not a response document (or the service closed the\n"
    "     connection without one)\n"
    "  7  the service does not list METHOD (a near name is suggested)\n"
    "  8  the arguments do not fit METHOD's signature (it is shown)\n"
    "\n"
    "Examples:\n"
    "  kivrel-call 127.0.0.1 50010 --list        the motor driver's methods\n"
    "  kivrel-call 127.0.0.1 50010 ReadPosition  the robot's odometry\n"
    "  kivrel-call 127.0.0.1 50017 PowerUp '[{i}]' 1\n"
    "                                            switch the Drive module on\n"
    "  kivrel-call --timeout 300 --show-wire 127.0.0.1 50012 ReadSensors\n"
    "                                            ultrasonic ranges, bytes shown\n";

using kivrel::Client;
using kivrel::List;
using kivrel::Reader;

struct UsageError {
  std::string message;
};

bool ParseInt(const char *text, int32_t *out) {
  errno = 0;
  char *end = nullptr;
  long long v = std::strtoll(text, &end, 10);
  if (end == text || *end != '\0' || errno == ERANGE || v < INT32_MIN || v > INT32_MAX)
    return false;
  *out = static_cast<int32_t>(v);
  return true;
}

// Builds the argument list from the signature and the texts, walking the
// signature grammar the library uses; errors are reported as usage errors.
class ArgumentBuilder {
public:
  ArgumentBuilder(const char *sign, std::vector<const char *> args)
      : m_pos(sign), m_args(std::move(args)) {}

  List Build() {
    List list = ParseList(0);
    if (*m_pos != '\0') throw UsageError{"text after the signature's closing ']'"};
    if (m_next != m_args.size())
      throw UsageError{"the signature takes " + std::to_string(m_next) + " argument(s), " +
                       std::to_string(m_args.size()) + " given"};
    return list;
  }

private:
  List ParseList(int depth) {
    if (depth >= kMaxDepth) throw UsageError{"signature nested too deeply"};
    if (*m_pos != '[') throw UsageError{Where("'['")};
    ++m_pos;
    List list(kivrel_datalist_create());
    if (!list) throw UsageError{"out of memory"};
    while (*m_pos != ']') {
      if (*m_pos != '{') throw UsageError{Where("'{' or ']'")};
      ++m_pos;
      kivrel_data *value = kivrel_data_create();
      if (value == nullptr) throw UsageError{"out of memory"};
      kivrel_datalist_ins_next(list.get(), kivrel_datalist_get_tail(list.get()), value);
      if (*m_pos == 'i') {
        ++m_pos;
        int32_t v;
        const char *text = Take("i");
        if (!ParseInt(text, &v))
          throw UsageError{std::string("'") + text + "' is not a 32-bit integer"};
        kivrel_data_int_link(value, kivrel_data_int_create(v));
      } else if (*m_pos == 's') {
        ++m_pos;
        kivrel_data_string_link(value, kivrel_data_string_create(Take("s")));
      } else if (*m_pos == '[') {
        kivrel_data_datalist_link(value, ParseList(depth + 1).release());
      } else {
        throw UsageError{Where("'i', 's' or '['")};
      }
      if (kivrel_data_get_data(value) == nullptr) throw UsageError{"out of memory"};
      if (*m_pos != '}') throw UsageError{Where("'}'")};
      ++m_pos;
    }
    ++m_pos;
    return list;
  }
  const char *Take(const char *letter) {
    if (m_next >= m_args.size())
      throw UsageError{std::string("missing argument for '") + letter + "' (the signature takes " +
                       "more arguments than given)"};
    return m_args[m_next++];
  }
  std::string Where(const char *expected) const {
    if (*m_pos == '\0')
      return std::string("malformed signature: it ends where ") + expected + " is expected";
    return std::string("malformed signature: '") + *m_pos + "' where " + expected + " is expected";
  }

  const char *m_pos;
  std::vector<const char *> m_args;
  size_t m_next = 0;
};

std::string Quote(const char *s) {
  std::string out = "\"";
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p; ++p) {
    switch (*p) {
    case '"':
      out += "\\\"";
      break;
    case '\\':
      out += "\\\\";
      break;
    case '\n':
      out += "\\n";
      break;
    case '\r':
      out += "\\r";
      break;
    case '\t':
      out += "\\t";
      break;
    default:
      if (*p < 0x20 || *p == 0x7f) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\x%02x", *p);
        out += buf;
      } else {
        out += static_cast<char>(*p);
      }
    }
  }
  return out + "\"";
}

const char *TypeOf(const kivrel_data *v) {
  const char *t = kivrel_data_get_datatype(v);
  return t != nullptr ? t : "";
}

void Print(const kivrel_datalist *list, int indent) {
  for (kivrel_data *v = kivrel_datalist_get_head(list); v != nullptr; v = kivrel_data_get_next(v)) {
    std::string pad(static_cast<size_t>(indent) * 2, ' ');
    const char *type = TypeOf(v);
    if (std::strcmp(type, "int") == 0) {
      std::printf("%sint %d\n", pad.c_str(),
                  kivrel_data_int_get(static_cast<kivrel_data_int *>(kivrel_data_get_data(v))));
    } else if (std::strcmp(type, "string") == 0) {
      std::printf("%sstring %s\n", pad.c_str(),
                  Quote(kivrel_data_string_get_string(
                            static_cast<kivrel_data_string *>(kivrel_data_get_data(v))))
                      .c_str());
    } else if (std::strcmp(type, "datalist") == 0) {
      auto *nested = static_cast<kivrel_datalist *>(kivrel_data_get_data(v));
      std::printf("%sdatalist (%u)\n", pad.c_str(), kivrel_datalist_get_size(nested));
      Print(nested, indent + 1);
    } else {
      std::printf("%s%s\n", pad.c_str(), type[0] ? type : "(untyped)");
    }
  }
}

// Turns a signature description back into signature text: "int" is {i},
// "string" is {s}, a nested description is a nested list.
std::string SignatureText(const kivrel_data *description) {
  const char *type = TypeOf(description);
  if (std::strcmp(type, "string") == 0) {
    const char *s = kivrel_data_string_get_string(
        static_cast<kivrel_data_string *>(kivrel_data_get_data(description)));
    if (std::strcmp(s, "none") == 0) return "none";
    if (std::strcmp(s, "undef") == 0) return "? (not described)";
    return s;
  }
  if (std::strcmp(type, "datalist") != 0) return "?";
  std::string out = "[";
  auto *list = static_cast<kivrel_datalist *>(kivrel_data_get_data(description));
  for (kivrel_data *v = kivrel_datalist_get_head(list); v != nullptr; v = kivrel_data_get_next(v)) {
    if (std::strcmp(TypeOf(v), "datalist") == 0) {
      // Appended piecewise: GCC 12 warns (-Wrestrict) on "{" + text + "}".
      out += '{';
      out += SignatureText(v);
      out += '}';
    } else if (std::strcmp(TypeOf(v), "string") == 0) {
      const char *s =
          kivrel_data_string_get_string(static_cast<kivrel_data_string *>(kivrel_data_get_data(v)));
      out += std::strcmp(s, "int") == 0 ? "{i}" : std::strcmp(s, "string") == 0 ? "{s}" : "{?}";
    } else {
      out += "{?}";
    }
  }
  return out + "]";
}

// Why a call did not give an answer, with the exit status that reports it.
struct Failure {
  int status;
  std::string message;
};

void WriteWire(const char *direction, const std::string &bytes) {
  std::fprintf(stderr, "kivrel-call: %s %zu bytes:\n", direction, bytes.size());
  std::fwrite(bytes.data(), 1, bytes.size(), stderr);
  if (bytes.empty() || bytes.back() != '\n') std::fputc('\n', stderr);
  std::fflush(stderr);
}

using Clock = std::chrono::steady_clock;

// The end of one message's time, counted from its start: a peer that
// trickles bytes cannot stretch it.
class Deadline {
public:
  explicit Deadline(int32_t ms) : m_forever(ms == 0), m_end(Clock::now() + Ms(ms)) {}
  // What poll() should wait: -1 for ever, 0 once the deadline has passed.
  int Left() const {
    if (m_forever) return -1;
    const auto left = m_end - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    // Rounded up, so that a wait never ends just short of the deadline.
    return static_cast<int>(std::chrono::ceil<Ms>(left).count());
  }

private:
  using Ms = std::chrono::milliseconds;
  bool m_forever;
  Clock::time_point m_end;
};

// Takes the answer's bytes as they come and says when a whole message is
// in: the library's reader of the wire, with everything it was fed kept
// for --show-wire, even what it refuses.
class ResponseFramer {
public:
  enum Verdict { kMore, kWhole, kBad };

  bool Ready() const { return m_reader != nullptr; }
  Verdict Feed(const char *bytes, size_t size) {
    m_bytes.append(bytes, size);
    char *body = nullptr;
    int32_t length = 0;
    if (kivrel_reader_feed(m_reader.get(), bytes, size) != 0 ||
        kivrel_reader_get_message(m_reader.get(), &body, &length) != 0) {
      const char *why = kivrel_reader_get_error(m_reader.get());
      m_why = why != nullptr ? why : "out of memory";
      return kBad;
    }
    if (body == nullptr) return kMore;
    m_body.reset(body);
    return kWhole;
  }
  // The body once whole.
  const char *Body() const { return m_body.get(); }
  const std::string &Received() const { return m_bytes; }
  const std::string &Why() const { return m_why; }

private:
  Reader m_reader{kivrel_reader_create()};
  kivrel::Text m_body;
  std::string m_bytes;
  std::string m_why;
};

class Session {
public:
  Session(const char *host, int32_t port, int32_t timeout_ms, bool show_wire)
      : m_host(host), m_port(port), m_timeoutMs(timeout_ms), m_showWire(show_wire) {}

  // One call on a fresh connection. True when the service answered, with
  // the result list (null for none) at `*result`; false with `*failure`.
  // Every call takes this one path; --show-wire only shows its bytes.
  bool Call(const char *method, const kivrel_datalist *args, List *result, Failure *failure) {
    char *doc_text = nullptr;
    int doc_len = 0;
    if (kivrel_xml_serialize_method_call(method, args, &doc_text, &doc_len) != 0) {
      *failure = {kExitUsage, "cannot write a call document for these arguments"};
      return false;
    }
    const kivrel::XmlText doc(doc_text);
    kivrel::Header made(kivrel_header_create(KIVREL_PROTOCOL, doc_len));
    char *line_text = nullptr;
    int32_t line_len = 0;
    if (!made || kivrel_header_serialize(made.get(), &line_text, &line_len) != 0) {
      *failure = {kExitUsage, "cannot write a header line"};
      return false;
    }
    const kivrel::Text line(line_text);
    std::string request(line_text, static_cast<size_t>(line_len));
    request.append(doc.get(), static_cast<size_t>(doc_len));

    Client client(kivrel_tcp_client_create(m_host, m_port));
    if (!client) {
      *failure = {kExitRefused, "cannot make a socket: " + std::string(std::strerror(errno))};
      return false;
    }
    if (kivrel_tcp_client_set_timeout_ms(client.get(), m_timeoutMs) != 0) {
      *failure = {kExitUsage, "the library refuses the time-out " + std::to_string(m_timeoutMs)};
      return false;
    }
    errno = 0;
    if (kivrel_tcp_client_connect(client.get()) != 0) {
      *failure = ConnectFailure(errno);
      return false;
    }
    const int fd = kivrel_tcp_client_get_socket_fd(client.get());
    if (m_showWire) WriteWire("sent", request);
    if (!Send(fd, request, failure)) return false;
    ResponseFramer framer;
    if (!framer.Ready()) {
      *failure = {kExitUsage, "out of memory"};
      return false;
    }
    const bool whole = Receive(fd, &framer, failure);
    if (m_showWire) WriteWire("received", framer.Received());
    if (!whole) return false;
    kivrel_datalist *list = nullptr;
    if (kivrel_xml_deserialize_method_response(&list, framer.Body()) != 0) {
      *failure = NotAResponse("the document is not a response");
      return false;
    }
    result->reset(list);
    return true;
  }

  std::string Where() const { return std::string(m_host) + ":" + std::to_string(m_port); }

private:
  Failure ConnectFailure(int error) const {
    switch (error) {
    case ECONNREFUSED:
      return {kExitRefused, "cannot connect to " + Where() + ": " + std::strerror(error) +
                                " (nothing listens there; is the service running?)"};
    case ETIMEDOUT:
    case EINPROGRESS:
    case EAGAIN:
      return {kExitTimeout, "time-out: no connection to " + Where() + " in time"};
    default:
      return {kExitRefused, "cannot connect to " + Where() + ": " + std::strerror(error)};
    }
  }
  Failure TimeOut(const char *what) const {
    return {kExitTimeout, "time-out: " + Where() + " " + what + " within " +
                              std::to_string(m_timeoutMs) + " ms (--timeout MS waits longer)"};
  }
  Failure NotAResponse(const std::string &why) const {
    return {kExitNotAResponse, Where() + " did not answer with a response document: " + why +
                                   (m_showWire ? "" : " (--show-wire shows what came)")};
  }

  // The whole request within one deadline.
  bool Send(int fd, const std::string &bytes, Failure *failure) const {
    const Deadline deadline(m_timeoutMs);
    for (size_t sent = 0; sent < bytes.size();) {
      pollfd p{fd, POLLOUT, 0};
      const int left = deadline.Left();
      const int ready = left == 0 ? 0 : ::poll(&p, 1, left);
      if (ready == 0) {
        *failure = TimeOut("did not take the call");
        return false;
      }
      if (ready < 0 && errno == EINTR) continue;
      const ssize_t n = ready < 0 ? -1
                                  : ::send(fd, bytes.data() + sent, bytes.size() - sent,
                                           MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
      if (n < 0) {
        *failure = {kExitNotAResponse, Where() +
                                           " closed the connection before the call was "
                                           "sent: " +
                                           std::strerror(errno)};
        return false;
      }
      sent += static_cast<size_t>(n);
    }
    return true;
  }

  // Bytes until `framer` holds a whole answer, within one deadline.
  bool Receive(int fd, ResponseFramer *framer, Failure *failure) const {
    const Deadline deadline(m_timeoutMs);
    for (;;) {
      pollfd p{fd, POLLIN, 0};
      const int left = deadline.Left();
      const int ready = left == 0 ? 0 : ::poll(&p, 1, left);
      if (ready == 0) {
        *failure =
            TimeOut(framer->Received().empty() ? "did not answer" : "did not finish its answer");
        return false;
      }
      if (ready < 0 && errno == EINTR) continue;
      char buf[16 * 1024];
      const ssize_t n = ready < 0 ? -1 : ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
      if (n <= 0) {
        *failure = NotAResponse(framer->Received().empty()
                                    ? "it closed the connection without one"
                                    : "it closed the connection in the middle of one");
        return false;
      }
      switch (framer->Feed(buf, static_cast<size_t>(n))) {
      case ResponseFramer::kWhole:
        return true;
      case ResponseFramer::kBad:
        *failure = NotAResponse(framer->Why());
        return false;
      case ResponseFramer::kMore:
        break;
      }
    }
  }

  const char *m_host;
  int32_t m_port;
  int32_t m_timeoutMs;
  bool m_showWire;
};

int Failed(const Failure &failure) {
  std::fprintf(stderr, "kivrel-call: %s\n", failure.message.c_str());
  return failure.status;
}

// The names a service lists (null when it does not list its methods, as a
// service without introspection answers without a result); false with
// `*failure` when the call failed.
bool ListMethods(Session &session, std::unique_ptr<std::vector<std::string>> *names,
                 Failure *failure) {
  List result;
  if (!session.Call("KIVREL_LIST_METHODS", nullptr, &result, failure)) return false;
  names->reset();
  if (!result) return true;
  auto found = std::make_unique<std::vector<std::string>>();
  for (kivrel_data *v = kivrel_datalist_get_head(result.get()); v; v = kivrel_data_get_next(v)) {
    if (std::strcmp(TypeOf(v), "string") != 0) return true; // not a list of names
    found->push_back(
        kivrel_data_string_get_string(static_cast<kivrel_data_string *>(kivrel_data_get_data(v))));
  }
  *names = std::move(found);
  return true;
}

int List_(Session &session) {
  std::unique_ptr<std::vector<std::string>> names;
  Failure failure;
  if (!ListMethods(session, &names, &failure)) return Failed(failure);
  if (!names)
    return Failed({kExitNotDescribed, "the service at " + session.Where() +
                                          " does not list its methods (it has no introspection)"});
  for (const std::string &name : *names)
    std::puts(name.c_str());
  return kExitOk;
}

// The signatures the service gives for `method`: the result's first, the
// arguments' second. False with `*failure` when the call failed; true with
// `*signature` null when the method is not described.
bool Signature(Session &session, const char *method, List *signature, Failure *failure) {
  List args(kivrel_build_root_datalist("[{s}]", method));
  if (!args) {
    *failure = {kExitUsage, "out of memory"};
    return false;
  }
  if (!session.Call("KIVREL_METHOD_SIGNATURE", args.get(), signature, failure)) {
    // A library service sends nothing at all for a name it does not know.
    if (failure->status != kExitNotAResponse) return false;
    signature->reset();
  }
  if (*signature && kivrel_datalist_get_size(signature->get()) < 2) signature->reset();
  return true;
}

int Describe(Session &session, const char *method) {
  List signature, help;
  Failure failure;
  if (!Signature(session, method, &signature, &failure)) return Failed(failure);
  if (!signature)
    return Failed({kExitNotDescribed, std::string("the service does not describe ") + method});
  List args(kivrel_build_root_datalist("[{s}]", method));
  if (!args) return Failed({kExitUsage, "out of memory"});
  if (!session.Call("KIVREL_METHOD_HELP", args.get(), &help, &failure)) return Failed(failure);
  kivrel_data *ret = kivrel_datalist_get_head(signature.get());
  std::printf("%s\n", method);
  std::printf("  arguments: %s\n", SignatureText(kivrel_data_get_next(ret)).c_str());
  std::printf("  result:    %s\n", SignatureText(ret).c_str());
  std::string text;
  if (help && kivrel_datalist_get_size(help.get()) == 1 &&
      std::strcmp(TypeOf(kivrel_datalist_get_head(help.get())), "string") == 0) {
    auto *s = static_cast<kivrel_data_string *>(
        kivrel_data_get_data(kivrel_datalist_get_head(help.get())));
    text = kivrel_data_string_get_string(s);
  }
  std::printf("  help:      %s\n", text.empty() ? "(none)" : text.c_str());
  return kExitOk;
}

// The shape of an argument list as signature text ("none" for no list).
std::string ShapeText(const kivrel_datalist *list) {
  if (list == nullptr) return "none";
  std::string out = "[";
  for (kivrel_data *v = kivrel_datalist_get_head(list); v != nullptr; v = kivrel_data_get_next(v)) {
    const char *type = TypeOf(v);
    if (std::strcmp(type, "int") == 0)
      out += "{i}";
    else if (std::strcmp(type, "string") == 0)
      out += "{s}";
    else
      out += "{" + ShapeText(static_cast<kivrel_datalist *>(kivrel_data_get_data(v))) + "}";
  }
  return out + "]";
}

std::string Lower(std::string s) {
  for (char &c : s)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Edits (insert, delete, replace) from one name to the other, ignoring case.
size_t Distance(const std::string &a_text, const std::string &b_text) {
  const std::string a = Lower(a_text), b = Lower(b_text);
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j)
    row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// Refuses a call the service's own description rules out: a name it does
// not list, or arguments of another shape than its signature. A service
// that lists or describes nothing is called unchecked. 0 to go on, else the
// exit status.
int Check(Session &session, const char *method, const kivrel_datalist *args) {
  std::unique_ptr<std::vector<std::string>> names;
  Failure failure;
  if (!ListMethods(session, &names, &failure))
    // An answer that is not a response is the call's to report, if it fails.
    return failure.status == kExitNotAResponse ? kExitOk : Failed(failure);
  if (!names) return kExitOk;
  const auto listed = [&](const std::string &name) {
    return std::find(names->begin(), names->end(), name) != names->end();
  };
  if (!listed(method)) {
    const std::string *closest = nullptr;
    size_t best = std::max<size_t>(2, std::strlen(method) / 3) + 1;
    for (const std::string &name : *names) {
      // A name cut short ("Velocity") is as near as one letter wrong.
      const bool start = std::strlen(method) >= 3 && Lower(name).rfind(Lower(method), 0) == 0;
      const size_t d = start ? 1 : Distance(method, name);
      if (d < best) best = d, closest = &name;
    }
    return Failed({kExitNoSuchMethod,
                   std::string("no method '") + method + "' on " + session.Where() +
                       (closest ? "; did you mean " + *closest + "?"
                                : " (--list shows its methods; --no-check calls it anyway)")});
  }
  if (!listed("KIVREL_METHOD_SIGNATURE")) return kExitOk;
  List signature;
  if (!Signature(session, method, &signature, &failure)) return Failed(failure);
  if (!signature) return kExitOk;
  const std::string expected = SignatureText(kivrel_data_get_next(
      kivrel_datalist_get_head(signature.get()))); // "? (not described)" checks nothing
  const std::string given = ShapeText(args);
  if (expected.find('?') != std::string::npos || expected == given) return kExitOk;
  return Failed({kExitWrongArguments,
                 std::string(method) + " on " + session.Where() +
                     (expected == "none" ? " takes no arguments" : " takes " + expected) +
                     "; given " + given + " (--no-check calls it anyway)"});
}

// A usage error is one line with a hint, never the whole help.
int Usage(const std::string &message) {
  std::fprintf(stderr, "kivrel-call: %s (see kivrel-call --help)\n", message.c_str());
  return kExitUsage;
}

} // namespace

int main(int argc, char **argv) {
  int32_t timeout_ms = kTimeoutDefaultMs;
  bool show_wire = false;
  bool check = true;
  int i = 1;
  // Options come before HOST: what follows may be negative numbers.
  for (; i < argc && argv[i][0] == '-'; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    }
    if (arg == "--version") {
      std::printf("kivrel-call (kivrel) %s\n", KIVREL_PROJECT_VERSION);
      return kExitOk;
    }
    if (arg == "--show-wire") {
      show_wire = true;
    } else if (arg == "--no-check") {
      check = false;
    } else if (arg == "--timeout") {
      if (i + 1 >= argc) return Usage("--timeout needs milliseconds");
      int32_t ms = 0;
      if (!ParseInt(argv[i + 1], &ms) || ms < 0 || ms > kTimeoutMaxMs)
        return Usage(std::string("--timeout '") + argv[i + 1] +
                     "' is not a number of milliseconds from 0 to " +
                     std::to_string(kTimeoutMaxMs));
      timeout_ms = ms;
      ++i;
    } else if (arg == "--") {
      ++i;
      break;
    } else {
      return Usage("unknown option '" + arg + "'");
    }
  }
  if (argc - i < 3) return Usage("too few arguments: HOST PORT METHOD are needed");
  const char *host = argv[i];
  in_addr parsed{};
  if (inet_pton(AF_INET, host, &parsed) != 1) {
    std::fprintf(stderr, "kivrel-call: %s is not a dotted IPv4 address such as 127.0.0.1\n",
                 Quote(host).c_str());
    return kExitBadAddress;
  }
  int32_t port;
  if (!ParseInt(argv[i + 1], &port) || port < 1 || port > 65535)
    return Usage(std::string("'") + argv[i + 1] + "' is not a port number (1 to 65535)");
  Session session(host, port, timeout_ms, show_wire);
  const char *method = argv[i + 2];
  const int rest = argc - (i + 3); // arguments after METHOD

  if (std::strcmp(method, "--list") == 0) {
    if (rest != 0) return Usage("--list takes no further arguments");
    return List_(session);
  }
  if (std::strcmp(method, "--describe") == 0) {
    if (rest != 1) return Usage("--describe takes one method name");
    return Describe(session, argv[i + 3]);
  }
  if (method[0] == '-') return Usage(std::string("unknown option '") + method + "'");

  List args;
  if (rest >= 1 && std::strncmp(argv[i + 3], "--", 2) == 0)
    return Usage(std::string("options such as '") + argv[i + 3] + "' go before HOST");
  if (rest >= 1) {
    try {
      args = ArgumentBuilder(argv[i + 3], std::vector<const char *>(argv + i + 4, argv + argc))
                 .Build();
    } catch (const UsageError &e) {
      return Usage(e.message);
    }
    if (kivrel_datalist_get_size(args.get()) == 0) args.reset(); // "[]": call without arguments
  }
  if (check) {
    const int refused = Check(session, method, args.get());
    if (refused != kExitOk) return refused;
  }
  List result;
  Failure failure;
  if (!session.Call(method, args.get(), &result, &failure)) return Failed(failure);
  if (!result) {
    std::puts("(no result)");
    return kExitOk;
  }
  Print(result.get(), 0);
  return kExitOk;
}
