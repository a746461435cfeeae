// Start-up to prompt: starts each program in turn (round-robin, so a busy moment hits all of them
// alike), reads its standard output through a pipe until the prompt line has arrived, takes the
// peak resident size from /proc, then kills it. Time runs from just before posix_spawn to the
// read that completes the prompt line. A program given as "name=-exit:path" is timed to its exit
// instead. A program run through another ("name=runner,program.exe") names both, comma apart.
// Prints one line per program: name, runs, median, p10 and p90 in microseconds, and the peak
// resident size (VmHWM) in KiB.
//
//   bench_startup [-n runs] name=path[,argument] [name=path ...]
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

constexpr char kPrompt[] = "Press ^C to stop CPU stress test...";

struct Program {
  std::string name;
  std::string path;
  std::string argument; // the program a runner runs; empty without one
  bool toExit = false;
  std::vector<double> micros;
  long hwmKiB = 0;
};

double Now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

long PeakKiB(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/status";
  FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr) return 0;
  long kib = 0;
  char line[256];
  while (std::fgets(line, sizeof line, f) != nullptr)
    if (std::sscanf(line, "VmHWM: %ld", &kib) == 1) break;
  std::fclose(f);
  return kib;
}

// One start; false when the prompt never came.
bool RunOnce(Program& program) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::string exitArg = "-exit";
  char* argv[4] = {program.path.data()};
  int argc = 1;
  if (!program.argument.empty()) argv[argc++] = program.argument.data();
  if (program.toExit) argv[argc++] = exitArg.data();
  pid_t pid = 0;
  const double start = Now();
  const int failed = posix_spawn(&pid, program.path.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  if (failed != 0) {
    close(pipeFds[0]);
    return false;
  }
  std::string seen;
  bool done = false;
  double end = 0;
  if (program.toExit) {
    char sink[256];
    while (read(pipeFds[0], sink, sizeof sink) > 0) {
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    end = Now();
    program.hwmKiB = std::max(program.hwmKiB, usage.ru_maxrss);
    done = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  } else {
    char chunk[512];
    for (ssize_t n; !done && (n = read(pipeFds[0], chunk, sizeof chunk)) > 0;) {
      seen.append(chunk, static_cast<size_t>(n));
      const size_t at = seen.find(kPrompt);
      done = at != std::string::npos && seen.find('\n', at) != std::string::npos;
    }
    end = Now();
    if (done) program.hwmKiB = std::max(program.hwmKiB, PeakKiB(pid));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  close(pipeFds[0]);
  if (done) program.micros.push_back(end - start);
  return done;
}

double Quantile(std::vector<double> v, double q) {
  std::sort(v.begin(), v.end());
  return v[static_cast<size_t>(q * static_cast<double>(v.size() - 1) + 0.5)];
}

} // namespace

int main(int argc, char** argv) {
  int runs = 200;
  std::vector<Program> programs;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-n") == 0 && i + 1 < argc) {
      runs = std::atoi(argv[++i]);
      continue;
    }
    const char* eq = std::strchr(argv[i], '=');
    if (eq == nullptr) {
      std::fprintf(stderr, "usage: %s [-n runs] name=[-exit:]path ...\n", argv[0]);
      return 2;
    }
    Program program;
    program.name.assign(argv[i], static_cast<size_t>(eq - argv[i]));
    program.path = eq + 1;
    if (program.path.rfind("-exit:", 0) == 0) {
      program.toExit = true;
      program.path.erase(0, 6);
    }
    const size_t comma = program.path.find(',');
    if (comma != std::string::npos) {
      program.argument = program.path.substr(comma + 1);
      program.path.erase(comma);
    }
    programs.push_back(program);
  }
  if (programs.empty() || runs < 1) return 2;
  // One untimed round fills the page cache.
  for (Program& program : programs) {
    if (!RunOnce(program)) {
      std::fprintf(stderr, "%s: no prompt from %s\n", program.name.c_str(), program.path.c_str());
      return 1;
    }
    program.micros.clear();
  }
  for (int run = 0; run < runs; ++run)
    for (Program& program : programs) RunOnce(program);
  for (const Program& program : programs) {
    if (program.micros.empty()) return 1;
    std::printf("%s %zu %.1f %.1f %.1f %ld\n", program.name.c_str(), program.micros.size(),
                Quantile(program.micros, 0.5), Quantile(program.micros, 0.1),
                Quantile(program.micros, 0.9), program.hwmKiB);
  }
  return 0;
}
