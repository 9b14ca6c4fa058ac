#include "testsupport/RunProgram.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <fstream>
#include <map>
#include <sstream>

#include "testsupport/Fixtures.h"

extern char** environ;

namespace testsupport {
namespace {

std::string readAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

ProgramResult runProgram(const std::vector<std::string>& command,
                         const std::vector<std::pair<std::string, std::optional<std::string>>>& environment) {
  std::map<std::string, std::string> variables;
  for (char** entry = environ; *entry; ++entry) {
    const std::string text = *entry;
    const auto equals = text.find('=');
    if (equals != std::string::npos) variables[text.substr(0, equals)] = text.substr(equals + 1);
  }
  for (const auto& [name, value] : environment) {
    if (value) variables[name] = *value;
    else variables.erase(name);
  }
  std::vector<std::string> envText;
  for (const auto& [name, value] : variables) envText.push_back(name + "=" + value);
  std::vector<char*> envp, argv;
  for (auto& text : envText) envp.push_back(text.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = command;
  for (auto& text : args) argv.push_back(text.data());
  argv.push_back(nullptr);

  // Files rather than pipes: the child never blocks on a full pipe while we wait for it.
  TempDir folder;
  const auto outPath = folder.path() / "out", errPath = folder.path() / "err";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ProgramResult result;
  if (spawned != 0) {
    result.err = "cannot start " + command[0];
    return result;
  }
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(wstatus)) result.status = WEXITSTATUS(wstatus);
  result.out = readAll(outPath);
  result.err = readAll(errPath);
  return result;
}

}  // namespace testsupport
