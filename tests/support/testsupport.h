#pragma once
// Test helpers shared by every test folder: temporary folders, running a program as a child
// process with its output captured, and a fresh platform root made by drossgate-platform.

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace drossgate::testing {

// A fresh, empty folder removed (with its content) on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

struct ProcessResult {
  int exitCode = -1;  // -1 when killed by a signal
  int signal = 0;
  std::string out;
  std::string err;
};

// Runs argv[0] with the rest as arguments, env added to (and overriding) the current
// environment, stdinText fed to its standard input.
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env = {},
                         const std::string& stdinText = "");

// A child process started with its standard output on a pipe, read when it is stopped, and its
// standard error into the file err when one is named.
struct Child {
  int pid = -1;
  int out = -1;
};
Child StartProcess(const std::vector<std::string>& argv, const std::filesystem::path& err = {});
// Sends sig (0: none), reads the child's output to its end and waits for it; status as waitpid.
std::string StopProcess(const Child& child, int sig, int* status);

// Paths of the build's programs and libraries.
std::filesystem::path BinaryDir();
std::filesystem::path SourceDir();
std::filesystem::path PlatformTool();  // tools/drossgate-platform

// Runs drossgate-platform with --root root and the given arguments.
ProcessResult RunPlatformTool(const std::filesystem::path& root,
                              const std::vector<std::string>& args,
                              const std::map<std::string, std::string>& env = {},
                              const std::string& stdinText = "");

std::string ReadFile(const std::filesystem::path& p);
void WriteFile(const std::filesystem::path& p, const std::string& content);

}  // namespace drossgate::testing
