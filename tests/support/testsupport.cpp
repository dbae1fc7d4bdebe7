#include "testsupport.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

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

namespace {

// Starts argv with its standard output on a pipe; standard input and error from and to the
// given files when not empty.
Child Spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
            const std::filesystem::path& in, const std::filesystem::path& err) {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    if (!in.empty()) dup2(open(in.c_str(), O_RDONLY), 0);
    if (!err.empty()) dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(fds[1]);
  return {pid, fds[0]};
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env,
                         const std::string& stdinText) {
  TempDir io;
  WriteFile(io.path() / "in", stdinText);
  ProcessResult r;
  int status = 0;
  r.out = StopProcess(Spawn(argv, env, io.path() / "in", io.path() / "err"), 0, &status);
  r.err = ReadFile(io.path() / "err");
  if (WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
  return r;
}

Child StartProcess(const std::vector<std::string>& argv, const std::filesystem::path& err) {
  return Spawn(argv, {}, {}, err);
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
