// Test support: the real orvelle binary serving a temporary home on 127.0.0.1, its stdout read
// from a file, stopped by SIGTERM; and curl run as a child with a time limit.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace orvelle::e2e {

namespace fs = std::filesystem;

// A server start or stop that takes longer than this is a failure, not a wait.
inline constexpr auto kProcessLimit = std::chrono::seconds(30);
// curl gives up on any one request after this many seconds.
inline constexpr const char* kCurlMaxTime = "20";

inline std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void WriteText(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// A temporary home with an empty web folder, removed afterwards.
class TempHome {
 public:
  TempHome() {
    std::string pattern = (fs::temp_directory_path() / "orvelle-e2e-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
    fs::create_directory(path_ / "web");
  }
  ~TempHome() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;
  const fs::path& Path() const { return path_; }
  fs::path Web() const { return path_ / "web"; }
  void Config(const std::string& lines) const { WriteText(path_ / "config.ini", lines); }
  void Page(const std::string& name, const std::string& text) const {
    WriteText(Web() / name, text);
  }

 private:
  fs::path path_;
};

inline pid_t Spawn(const std::vector<std::string>& args, const fs::path& out, const fs::path& err) {
  std::vector<std::string> copy = args;
  std::vector<char*> argv;
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int in_fd = ::open("/dev/null", O_RDONLY);
    const int out_fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err_fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in_fd < 0 || out_fd < 0 || err_fd < 0) ::_exit(126);
    ::dup2(in_fd, STDIN_FILENO);
    ::dup2(out_fd, STDOUT_FILENO);
    ::dup2(err_fd, STDERR_FILENO);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

// Waits for the child to exit within `limit`; its exit code, or nothing (then it still runs).
inline std::optional<int> WaitExit(pid_t pid, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (done < 0 || std::chrono::steady_clock::now() > deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// Runs the binary to its end with `args`; its exit code and what it wrote.
struct Finished {
  std::optional<int> code;
  std::string out, err;
};
inline Finished RunToEnd(const TempHome& home, std::vector<std::string> args) {
  args.insert(args.begin(), ORVELLE_BINARY);
  const pid_t pid = Spawn(args, home.Path() / "run.out", home.Path() / "run.err");
  Finished run{WaitExit(pid, kProcessLimit), ReadText(home.Path() / "run.out"),
               ReadText(home.Path() / "run.err")};
  if (!run.code) ::kill(pid, SIGKILL);
  return run;
}

class ServerProcess {
 public:
  // Starts `orvelle --home HOME --port PORT --listen-ip 127.0.0.1 EXTRA...` and waits until it
  // reports the port it listens on, or ends.
  explicit ServerProcess(const TempHome& home, int port = 0, std::vector<std::string> extra = {})
      : out_(home.Path() / "stdout.txt"), err_(home.Path() / "stderr.txt") {
    std::vector<std::string> args{
        ORVELLE_BINARY,       "--home",      home.Path().string(), "--port",
        std::to_string(port), "--listen-ip", "127.0.0.1"};
    args.insert(args.end(), extra.begin(), extra.end());
    // An earlier run's output must not be taken for this one's.
    std::error_code ignored;
    fs::remove(out_, ignored);
    fs::remove(err_, ignored);
    pid_ = Spawn(args, out_, err_);
    const auto deadline = std::chrono::steady_clock::now() + kProcessLimit;
    while (std::chrono::steady_clock::now() < deadline) {
      const std::string out = Stdout();
      const std::string listening = "Listening for HTTP connections on 127.0.0.1:";
      const auto at = out.find(listening);
      if (at != std::string::npos && out.find(".\n", at) != std::string::npos) {
        port_ = std::stoi(out.substr(at + listening.size()));
        return;
      }
      if (auto code = WaitExit(pid_, std::chrono::milliseconds(0))) {
        exit_code_ = code;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  ~ServerProcess() {
    if (exit_code_) return;
    Terminate(kProcessLimit);
    if (!exit_code_) {
      ::kill(pid_, SIGKILL);
      WaitExit(pid_, kProcessLimit);
    }
  }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  int Port() const { return port_; }
  pid_t Pid() const { return pid_; }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  std::string Stdout() const { return ReadText(out_); }
  std::string Stderr() const { return ReadText(err_); }
  std::optional<int> ExitCode() const { return exit_code_; }

  // SIGTERM, then the exit code if the process ended within `limit`.
  std::optional<int> Terminate(std::chrono::milliseconds limit) {
    if (!exit_code_) {
      ::kill(pid_, SIGTERM);
      exit_code_ = WaitExit(pid_, limit);
    }
    return exit_code_;
  }

  // With --demo: the simulated device's path, from the log line that announces it (waited for,
  // since log lines reach stdout a moment after they are made); empty when it never comes.
  std::string DemoDevicePath() const {
    const std::string marker = "Demo device (a simulated instrument) on ";
    if (!WaitForLog(marker)) return {};
    const std::string out = Stdout();
    const auto start = out.find(marker) + marker.size();
    return out.substr(start, out.find(';', start) - start);
  }

  // Waits until stdout holds `text`; false after the limit.
  bool WaitForLog(const std::string& text) const {
    const auto deadline = std::chrono::steady_clock::now() + kProcessLimit;
    while (Stdout().find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }

 private:
  fs::path out_;
  fs::path err_;
  pid_t pid_ = -1;
  int port_ = 0;
  std::optional<int> exit_code_;
};

// Runs curl with the arguments (plus -s and a time limit) and returns what it wrote to stdout.
inline std::string Curl(std::vector<std::string> args) {
  args.insert(args.begin(), {"/usr/bin/curl", "-s", "--max-time", kCurlMaxTime});
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) return {};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(pipe_fds[1], STDOUT_FILENO);
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(pipe_fds[1]);
  std::string out;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0) out.append(buffer, n);
  ::close(pipe_fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return out;
}

}  // namespace orvelle::e2e
