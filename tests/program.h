// A program of ours run as a user runs it: arguments, an environment with
// chosen variables set or removed, standard output and error collected.
// Every wait is bounded; a child still running at its deadline is killed.
#ifndef KIVREL_TESTS_PROGRAM_H
#define KIVREL_TESTS_PROGRAM_H

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

extern char **environ;

struct ProgramRun {
  int status = -1; // exit status; -1 when it did not exit normally
  int signal = 0;  // the signal that ended it, if one did
  std::string out, err;
};

class Program {
public:
  using Clock = std::chrono::steady_clock;
  // name -> value, or no value to remove the variable.
  using Env = std::vector<std::pair<std::string, std::optional<std::string>>>;

  Program(const std::string &path, std::vector<std::string> args, const Env &env = {}) {
    args.insert(args.begin(), path);
    std::vector<char *> argv;
    for (auto &a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> vars;
    for (char **e = environ; *e != nullptr; ++e) {
      const std::string var = *e;
      bool replaced = false;
      for (const auto &[name, value] : env)
        replaced = replaced || var.rfind(name + "=", 0) == 0;
      if (!replaced) vars.push_back(var);
    }
    for (const auto &[name, value] : env)
      if (value) vars.push_back(name + "=" + *value);
    std::vector<char *> envp;
    for (auto &v : vars)
      envp.push_back(v.data());
    envp.push_back(nullptr);

    int out[2], err[2];
    if (::pipe(out) != 0) return;
    if (::pipe(err) != 0) {
      ::close(out[0]);
      ::close(out[1]);
      return;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    posix_spawn_file_actions_addclose(&fa, err[0]);
    if (posix_spawn(&m_pid, argv[0], &fa, nullptr, argv.data(), envp.data()) != 0) m_pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    ::close(err[1]);
    m_out = out[0];
    m_err = err[0];
  }
  ~Program() {
    if (m_pid > 0) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, nullptr, 0);
    }
    for (int fd : {m_out, m_err})
      if (fd >= 0) ::close(fd);
  }
  Program(const Program &) = delete;
  Program &operator=(const Program &) = delete;

  bool Started() const { return m_pid > 0; }

  // Collects output until standard output holds `text`, the program ends
  // its output, or the deadline passes. True when the text came.
  bool WaitForOutput(const std::string &text, std::chrono::milliseconds deadline) {
    const auto end = Clock::now() + deadline;
    while (m_run.out.find(text) == std::string::npos && Clock::now() < end)
      if (!Collect(end)) break;
    return m_run.out.find(text) != std::string::npos;
  }

  void Signal(int sig) {
    if (m_pid > 0) ::kill(m_pid, sig);
  }

  // Collects the rest of the output and the exit status; a program still
  // running at the deadline is killed (and reported as such).
  ProgramRun Finish(std::chrono::milliseconds deadline = std::chrono::seconds(60)) {
    const auto end = Clock::now() + deadline;
    while (Clock::now() < end && Collect(end)) {
    }
    if (m_pid <= 0) return m_run;
    int status = 0;
    pid_t done = 0;
    while ((done = ::waitpid(m_pid, &status, WNOHANG)) == 0 && Clock::now() < end)
      ::usleep(5 * 1000);
    if (done == 0) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, &status, 0);
      m_run.err += "\n[killed at the test's deadline]";
    }
    m_pid = -1;
    m_run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    m_run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return m_run;
  }

private:
  // One round of reading; false once both pipes have ended.
  bool Collect(Clock::time_point end) {
    pollfd fds[2] = {{m_out, POLLIN, 0}, {m_err, POLLIN, 0}};
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    if (m_out < 0 && m_err < 0) return false;
    if (::poll(fds, 2, static_cast<int>(std::max<long long>(0, std::min<long long>(left, 200)))) <=
        0)
      return true;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents == 0) continue;
      char buf[4096];
      const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        (i == 0 ? m_run.out : m_run.err).append(buf, static_cast<size_t>(n));
      } else {
        ::close(fds[i].fd);
        (i == 0 ? m_out : m_err) = -1;
      }
    }
    return true;
  }

  pid_t m_pid = -1;
  int m_out = -1, m_err = -1;
  ProgramRun m_run;
};

// Runs a program to its end.
inline ProgramRun RunProgram(const std::string &path, std::vector<std::string> args,
                             const Program::Env &env = {}) {
  Program p(path, std::move(args), env);
  return p.Finish();
}

#endif
