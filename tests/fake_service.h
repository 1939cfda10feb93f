// A scripted robot service for tests that need a peer to misbehave: it
// listens on 127.0.0.1:port (0: a free port, see Port()), counts the
// connections it accepts, reads one framed call per connection and answers
// with whatever bytes the test scripted (or nothing). Raw sockets, so it never relies on the
// library.
#ifndef SKARVEL_TESTS_FAKE_SERVICE_H
#define SKARVEL_TESTS_FAKE_SERVICE_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

class FakeService {
public:
  // Silent reads the call and then holds the connection without a word
  // until the client or the service goes away (ten seconds at most). Stall
  // sends the scripted bytes and then holds it so; Trickle sends them one
  // every 20 ms, then holds it.
  enum class Reply { Bytes, CloseAfterRequest, CloseAtOnce, Silent, Stall, Trickle };

  explicit FakeService(int port) {
    m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(m_listen, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        ::listen(m_listen, 16) != 0) {
      ::close(m_listen);
      throw std::runtime_error("fake service cannot listen on " + std::to_string(port));
    }
    socklen_t size = sizeof a;
    ::getsockname(m_listen, reinterpret_cast<sockaddr *>(&a), &size);
    m_port = ntohs(a.sin_port);
    m_thread = std::thread([this] { Run(); });
  }
  ~FakeService() {
    m_stop = true;
    m_thread.join();
    ::close(m_listen);
  }

  // Scripts the answer to every following call.
  void Answer(Reply how, std::string bytes = {}) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_how = how;
    m_bytes = std::move(bytes);
  }
  // Scripts the answers to the next calls, one each in turn; the last one
  // then answers every call after them.
  void AnswerInTurn(std::vector<std::pair<Reply, std::string>> turns) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_turns.assign(turns.begin(), turns.end());
  }
  int Connections() const { return m_connections.load(); }
  int Port() const { return m_port; }
  std::vector<std::string> Requests() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
  }

  // A whole framed response whose result list holds `data` elements
  // (already written as XML), or an empty result when `data` is empty.
  static std::string Response(const std::string &data) {
    std::string doc = "<?xml version=\"1.0\"?>\n<method_response>\n";
    if (data.empty())
      doc += "  <method_datalist_ret/>\n";
    else
      doc += "  <method_datalist_ret>\n    <datalist>\n" + data +
             "    </datalist>\n  </method_datalist_ret>\n";
    doc += "</method_response>\n";
    return "KIVREL-1.1:" + std::to_string(doc.size()) + "\n" + doc;
  }
  static std::string Ints(std::initializer_list<int> values) {
    std::string s;
    for (int v : values)
      s += "      <data>\n        <int>" + std::to_string(v) + "</int>\n      </data>\n";
    return s;
  }

private:
  void Run() {
    // Bounded: the destructor ends the loop within one poll period.
    while (!m_stop) {
      pollfd p{m_listen, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      int c = ::accept(m_listen, nullptr, nullptr);
      if (c < 0) continue;
      m_connections++;
      Serve(c);
      ::close(c);
    }
  }
  void Serve(int c) {
    Reply how;
    std::string bytes;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (!m_turns.empty()) {
        std::tie(m_how, m_bytes) = m_turns.front();
        m_turns.pop_front();
      }
      how = m_how;
      bytes = m_bytes;
    }
    if (how == Reply::CloseAtOnce) return;
    std::string request = ReadMessage(c);
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_requests.push_back(request);
    }
    if ((how == Reply::Bytes || how == Reply::Stall) && !bytes.empty())
      (void)!::send(c, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    for (size_t i = 0; how == Reply::Trickle && i < bytes.size() && !m_stop; ++i) {
      if (::send(c, &bytes[i], 1, MSG_NOSIGNAL) != 1) return;
      ::usleep(20 * 1000);
    }
    if (how != Reply::Silent && how != Reply::Stall && how != Reply::Trickle) return;
    for (int waited = 0; !m_stop && waited < 10000; waited += 20) {
      pollfd p{c, POLLIN, 0};
      char ch;
      // Readable with nothing to read: the client has gone.
      if (::poll(&p, 1, 20) > 0 && ::recv(c, &ch, 1, MSG_DONTWAIT) <= 0) return;
    }
  }
  // Reads "name:length\n" and the body; gives back the body, or "" when the
  // peer went away first. Waits at most two seconds for the bytes.
  static std::string ReadMessage(int c) {
    std::string line;
    char ch;
    while (line.size() < 64 && WaitReadable(c) && ::recv(c, &ch, 1, 0) == 1) {
      if (ch == '\n') break;
      line += ch;
    }
    size_t colon = line.find(':');
    if (colon == std::string::npos) return {};
    long n = std::strtol(line.c_str() + colon + 1, nullptr, 10);
    std::string body;
    while (n > 0 && static_cast<long>(body.size()) < n && WaitReadable(c)) {
      char buf[4096];
      ssize_t r = ::recv(c, buf, sizeof buf, 0);
      if (r <= 0) break;
      body.append(buf, static_cast<size_t>(r));
    }
    return body;
  }
  static bool WaitReadable(int c) {
    pollfd p{c, POLLIN, 0};
    return ::poll(&p, 1, 2000) > 0;
  }

  int m_listen = -1;
  int m_port = 0;
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_connections{0};
  mutable std::mutex m_mutex;
  Reply m_how = Reply::CloseAfterRequest;
  std::string m_bytes;
  std::deque<std::pair<Reply, std::string>> m_turns;
  std::vector<std::string> m_requests;
  std::thread m_thread;
};

#endif
