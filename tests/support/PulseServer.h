#pragma once
// A private PulseAudio server without a sound card, for tests and benchmarks:
// started and stopped through pulse-server.sh beside this file, found by
// clients (ALSA's "pulse" plugin, pactl, paplay) through PULSE_SERVER. While
// it runs, ALSA's "default" goes to it.
#include <alsa/asoundlib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace soundtest {

// What a shell command prints on stdout, its last newline removed.
inline std::string RunCommand(const std::string& command, int* exitStatus = nullptr) {
  std::string out;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
    int status = ::pclose(pipe);
    if (exitStatus) *exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  } else if (exitStatus) {
    *exitStatus = -1;
  }
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

// A program run in the background (paplay, parec), ended when this goes.
class CChildProcess {
 public:
  explicit CChildProcess(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (::posix_spawnp(&m_pid, args[0], nullptr, nullptr, args.data(), environ) != 0) m_pid = -1;
  }
  ~CChildProcess() { Stop(); }
  CChildProcess(const CChildProcess&) = delete;
  CChildProcess& operator=(const CChildProcess&) = delete;

  bool IsStarted() const { return m_pid > 0; }
  // Ends it with SIGTERM and waits; returns its wait status.
  int Stop() {
    if (m_pid <= 0) return m_status;
    ::kill(m_pid, SIGTERM);
    ::waitpid(m_pid, &m_status, 0);
    m_pid = -1;
    return m_status;
  }
  // Waits until it ends by itself; true when it exited with 0.
  bool Wait() {
    if (m_pid > 0) ::waitpid(m_pid, &m_status, 0);
    m_pid = -1;
    return WIFEXITED(m_status) && WEXITSTATUS(m_status) == 0;
  }

 private:
  pid_t m_pid = -1;
  int m_status = 0;
};

class CPulseServer {
 public:
  // Starts at once; IsRunning() tells whether that worked.
  CPulseServer() {
    char tmpl[] = "/tmp/tessel-pulse-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp");
    m_dir = tmpl;
    if (const char* old = std::getenv("PULSE_SERVER")) m_previous = old;
    m_bHadPrevious = std::getenv("PULSE_SERVER") != nullptr;
    Start();
  }
  ~CPulseServer() {
    Stop();
    if (m_bHadPrevious)
      ::setenv("PULSE_SERVER", m_previous.c_str(), 1);
    else
      ::unsetenv("PULSE_SERVER");
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
  }
  CPulseServer(const CPulseServer&) = delete;
  CPulseServer& operator=(const CPulseServer&) = delete;

  // Starts it (again, on the same socket).
  bool Start() {
    int status = -1;
    m_address = RunCommand(Script() + " start " + m_dir + " " + std::to_string(::getpid()), &status);
    m_bRunning = status == 0 && m_address.rfind("unix:", 0) == 0;
    if (!m_bRunning) return false;
    ::setenv("PULSE_SERVER", m_address.c_str(), 1);
    // ALSA decides once per configuration load whether "default" goes to a
    // running server: load it afresh now that this one runs.
    snd_config_update_free_global();
    return true;
  }
  // Stops it and waits until it has gone; clients then find no server.
  void Stop() {
    if (!m_bRunning) return;
    RunCommand(Script() + " stop " + m_dir);
    m_bRunning = false;
  }

  bool IsRunning() const { return m_bRunning; }
  const std::string& Address() const { return m_address; }
  const std::string& Dir() const { return m_dir; }
  // pactl against this server, stdout and stderr together.
  std::string Pactl(const std::string& args) const { return RunCommand("pactl " + args + " 2>&1"); }
  // The server's log, for failure messages.
  std::string Log() const { return RunCommand("tail -n 30 '" + m_dir + "/server.log'"); }

  static std::string Script() {
    if (const char* s = std::getenv("TESSEL_PULSE_SCRIPT")) return s;
    return TESSEL_PULSE_SCRIPT;
  }

 private:
  std::string m_dir;
  std::string m_address;
  std::string m_previous;
  bool m_bHadPrevious = false;
  bool m_bRunning = false;
};

// No sound server for the object's lifetime, whatever the machine runs:
// clients look for one on a socket that does not exist.
class CNoSoundServer {
 public:
  CNoSoundServer() {
    if (const char* old = std::getenv("PULSE_SERVER")) m_previous = old, m_bHadPrevious = true;
    ::setenv("PULSE_SERVER", "unix:/nonexistent/tessel-no-server", 1);
    snd_config_update_free_global();
  }
  ~CNoSoundServer() {
    if (m_bHadPrevious)
      ::setenv("PULSE_SERVER", m_previous.c_str(), 1);
    else
      ::unsetenv("PULSE_SERVER");
    snd_config_update_free_global();
  }
  CNoSoundServer(const CNoSoundServer&) = delete;
  CNoSoundServer& operator=(const CNoSoundServer&) = delete;
  // Whether ALSA sees a sound card.
  static bool MachineHasACard() {
    int card = -1;
    return snd_card_next(&card) == 0 && card >= 0;
  }

 private:
  std::string m_previous;
  bool m_bHadPrevious = false;
};

}  // namespace soundtest
