// Process handling for the end-to-end runs (the runner itself is always a
// native Linux program, whatever it drives).
#include "e2e_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace {

E2eConfig globalConfig;

std::vector<std::string> commandFor(const std::string& program,
                                    const std::vector<std::string>& args) {
  std::vector<std::string> command = globalConfig.prefix;
  command.push_back(program);
  command.insert(command.end(), args.begin(), args.end());
  return command;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (std::string& s : strings) result.push_back(&s[0]);
  result.push_back(nullptr);
  return result;
}

std::string undoCrLf(const std::string& text) {
  std::string result;
  for (std::size_t i = 0; i < text.size(); ++i)
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) result += text[i];
  return result;
}

int spawn(std::vector<std::string> command, const std::string& cwd,
          const std::vector<std::string>& environment, int outFd, int errFd) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.push_back(*e);
  env.insert(env.end(), environment.begin(), environment.end());
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (outFd >= 0) posix_spawn_file_actions_adddup2(&actions, outFd, 1);
  if (errFd >= 0) posix_spawn_file_actions_adddup2(&actions, errFd, 2);
  std::vector<char*> argv = pointers(command);
  std::vector<char*> envp = pointers(env);
  pid_t pid = -1;
  int result = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return result == 0 ? pid : -1;
}

}  // namespace

bool parseE2eConfig(int argc, char** argv, E2eConfig* config) {
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string name = argv[i], value = argv[i + 1];
    if (name == "--updater")
      config->updater = value;
    else if (name == "--helpers")
      config->helpers = value;
    else if (name == "--prefix")
      config->prefix.push_back(value);
    else if (name == "--paths")
      config->windows = value == "wine";
    else
      return false;
  }
  // Programs are started in scratch directories: make the paths absolute.
  char resolved[PATH_MAX];
  if (realpath(config->updater.c_str(), resolved)) config->updater = resolved;
  if (realpath(config->helpers.c_str(), resolved)) config->helpers = resolved;
  globalConfig = *config;
  return !config->updater.empty() && !config->helpers.empty();
}

const E2eConfig& e2eConfig() { return globalConfig; }

bool setUpE2e(int* argc, char** argv) {
  testing::InitGoogleTest(argc, argv);
  E2eConfig config;
  if (parseE2eConfig(*argc, argv, &config)) return true;
  std::fprintf(stderr,
               "usage: %s --updater PATH --helpers DIR [--prefix WORD]... [--paths posix|wine]\n",
               argv[0]);
  return false;
}

std::string spell(const std::string& hostPath) {
  if (!globalConfig.windows) return hostPath;
  std::string result = hostPath[0] == '/' ? "Z:" + hostPath : hostPath;
  for (char& c : result)
    if (c == '/') c = '\\';
  return result;
}

std::string helperProgram(const std::string& name) {
  return globalConfig.helpers + "/" + name + (globalConfig.windows ? ".exe" : "");
}

double monotonicSeconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

RunResult runUpdater(const std::vector<std::string>& args, const std::string& cwd,
                     const std::vector<std::string>& environment) {
  return runProgram(globalConfig.updater, args, cwd, environment);
}

RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& cwd, const std::vector<std::string>& environment) {
  RunResult result;
  int outPipe[2], errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) return result;
  double start = monotonicSeconds();
  int pid = spawn(commandFor(program, args), cwd, environment, outPipe[1], errPipe[1]);
  close(outPipe[1]);
  close(errPipe[1]);
  std::string* sinks[2] = {&result.out, &result.err};
  struct pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  int open = 2;
  // Drain both streams until they close; give up after two minutes.
  while (pid > 0 && open > 0 && monotonicSeconds() - start < 120) {
    if (poll(fds, 2, 1000) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, std::size_t(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (struct pollfd& f : fds)
    if (f.fd >= 0) close(f.fd);
  if (pid > 0) {
    if (open > 0) kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    result.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  result.seconds = monotonicSeconds() - start;
  if (globalConfig.windows) {
    result.out = undoCrLf(result.out);
    result.err = undoCrLf(result.err);
  }
  return result;
}

int startUpdater(const std::vector<std::string>& args, const std::string& cwd,
                 const std::string& program, const std::vector<std::string>& environment) {
  int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  int pid = spawn(commandFor(program.empty() ? globalConfig.updater : program, args), cwd,
                  environment, devNull, devNull);
  close(devNull);
  return pid;
}

int waitUpdater(int pid) {
  int status = 0;
  if (pid <= 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int startHelper(const std::string& name, const std::vector<std::string>& args) {
  int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  int pid = spawn(commandFor(helperProgram(name), args), "", {}, devNull, devNull);
  close(devNull);
  return pid;
}

void waitHelper(int pid) {
  if (pid > 0) waitpid(pid, nullptr, 0);
}

bool waitForFile(const std::string& path, double seconds) {
  double start = monotonicSeconds();
  struct stat st;
  while (stat(path.c_str(), &st) != 0) {
    if (monotonicSeconds() - start > seconds) return false;
    usleep(10000);
  }
  return true;
}

bool makeKeyPair(const std::string& dir) {
  std::string command = "mkdir -p '" + dir + "' && minisign -G -W -p '" + dir + "/pub' -s '" + dir +
                        "/sec' >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

bool signFile(const std::string& dir, const std::string& file, const std::string& options) {
  std::string command = "minisign -S " + options + " -s '" + dir + "/sec' -m '" + file +
                        "' </dev/null >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}
