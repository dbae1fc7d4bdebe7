#include "testsupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace drossgate::testing {

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "drossgate-test-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env,
                         const std::string& stdinText) {
  int in[2], out[2], err[2];
  if (pipe(in) || pipe(out) || pipe(err)) throw std::runtime_error("pipe failed");
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
    for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  // Feed stdin and drain both outputs together so that no pipe fills up and blocks the child.
  signal(SIGPIPE, SIG_IGN);
  size_t written = 0;
  if (stdinText.empty()) close(in[1]);
  ProcessResult r;
  pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
  int open = 2;
  bool inOpen = !stdinText.empty();
  while (open > 0 || inOpen) {
    int n = poll(fds, inOpen ? 3 : 2, -1);
    if (n < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP))) {
        char buf[65536];
        ssize_t got = read(fds[i].fd, buf, sizeof buf);
        if (got <= 0) {
          close(fds[i].fd);
          fds[i].fd = -1;
          --open;
        } else {
          (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(got));
        }
      }
    }
    if (inOpen && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t w = write(in[1], stdinText.data() + written, stdinText.size() - written);
      if (w > 0) written += static_cast<size_t>(w);
      if (w <= 0 || written == stdinText.size()) {
        close(in[1]);
        inOpen = false;
      }
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
  return r;
}

Child StartProcess(const std::vector<std::string>& argv) {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(fds[1]);
  return {pid, fds[0]};
}

std::string StopProcess(const Child& child, int sig, int* status) {
  if (sig) kill(child.pid, sig);
  std::string out;
  char buf[4096];
  for (ssize_t n; (n = read(child.out, buf, sizeof buf)) > 0;)
    out.append(buf, static_cast<size_t>(n));
  close(child.out);
  waitpid(child.pid, status, 0);
  return out;
}

std::filesystem::path BinaryDir() {
  return DROSSGATE_BINARY_DIR;
}
std::filesystem::path SourceDir() {
  return DROSSGATE_SOURCE_DIR;
}
std::filesystem::path PlatformTool() {
  return BinaryDir() / "tools" / "drossgate-platform";
}

ProcessResult RunPlatformTool(const std::filesystem::path& root,
                              const std::vector<std::string>& args,
                              const std::map<std::string, std::string>& env,
                              const std::string& stdinText) {
  std::vector<std::string> argv{PlatformTool().string(), "--root", root.string()};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProcess(argv, env, stdinText);
}

std::string ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::filesystem::path& p, const std::string& content) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + p.string());
}

}  // namespace drossgate::testing
