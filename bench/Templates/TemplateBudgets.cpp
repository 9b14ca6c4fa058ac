// Hostile templates against the render budgets: each runs in a child process of its own and
// reports how long the render took past its time limit and the child's peak resident memory
// against the memory budget (targets: within the limit plus 0.5 s, and within the budget plus
// 64 MiB, ending in the engine's budget error). Prints the processor, instruction set and load.
//   bench_template_budgets            (all cases)
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/MachineFacts.h"
#include "bench/ProcessStatus.h"
#include "templates/JinjaError.h"
#include "templates/Template.h"

namespace {

struct Hostile {
  const char* name;
  std::string source;
  std::chrono::milliseconds limit;
};

std::string repeated(const std::string& piece, int times, const std::string& separator = "") {
  std::string out;
  for (int i = 0; i < times; ++i) out += (i ? separator : "") + piece;
  return out;
}

const std::string big = "{% set s = 'a' * 67108864 %}";
const std::string bigWide = "{% set s = '\xc3\xa9' * 33554432 %}";
const std::string mid = "{% set s = 'a' * 60000000 %}";  // room to append

std::vector<Hostile> cases() {
  using ms = std::chrono::milliseconds;
  return {
      {"12 x upper, 1 ms", big + repeated("{{ s | upper | length }}", 12), ms(1)},
      {"30 upper/lower in one tag", big + "{{ s" + repeated(" | upper | lower", 15) + " | length }}", ms(10'000)},
      {"12 x lower of non-ASCII, 1 ms", bigWide + repeated("{{ s | lower | length }}", 12), ms(1)},
      {"trim, strip, truncate, e, 1 ms",
       mid + "{{ (s ~ ' ') | trim | length }}{{ (' ' ~ s).strip() | length }}{{ s | truncate(59000000) | length }}"
             "{{ s | e | length }}{{ s | urlencode | length }}{{ s | string | length }}",
       ms(1)},
      {"tojson and format, 1 ms", mid + "{{ s | tojson | length }}{{ '%s' | format(s) | length }}", ms(1)},
      {"~ * == in, 1 ms",
       mid + repeated("{{ (s[1:] ~ 'b') | length }}{{ ('ab' * 33554432) | length }}{{ s == s[1:] ~ 'a' }}{{ 'b' in s }}", 4),
       ms(1)},
      {"array literal of 30 big strings", big + "{{ [" + repeated("s | upper", 30, ", ") + "] | length }}", ms(10'000)},
      {"call of 30 big arguments", mid + "{{ dict(" + repeated("[s ~ 'x']", 30, ", ") + ") }}", ms(10'000)},
      {"filter arguments", mid + "{{ s | replace(s ~ 'x', s ~ 'y', 1) | replace(s ~ 'z', s ~ 'w') | length }}",
       ms(10'000)},
      {"nested macro outputs",
       "{% macro m(n) %}{% if n > 0 %}{{ 'a' * 33554432 }}{{ m(n - 1) }}{% endif %}{% endmacro %}{{ m(40) | length }}",
       ms(10'000)},
  };
}

struct Report {
  double seconds;
  long peakKilobytes;
  char message[160];
};

Report runCase(const Hostile& hostile) {
  Report report{};
  const auto start = std::chrono::steady_clock::now();
  try {
    std::string out = jinja::Template(hostile.source).render({}, {.timeLimit = hostile.limit});
    std::snprintf(report.message, sizeof report.message, "rendered %zu bytes", out.size());
  } catch (const jinja::JinjaError& e) {
    std::snprintf(report.message, sizeof report.message, "%s", e.what());
  }
  report.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  report.peakKilobytes = statusKilobytes("VmHWM:");
  return report;
}

}  // namespace

int main() {
  std::printf("instruction set: %s\nload before: %s\n", instructionSet().c_str(), loadAveragesText().c_str());
  std::printf("%-34s %9s %9s %11s  %s\n", "case", "limit s", "took s", "peak MiB", "outcome");
  for (const Hostile& hostile : cases()) {
    int pipe[2];
    if (::pipe(pipe) != 0) return 1;
    const pid_t child = ::fork();
    if (child == 0) {
      ::close(pipe[0]);
      const Report report = runCase(hostile);
      const ssize_t written = ::write(pipe[1], &report, sizeof report);
      ::_exit(written == sizeof report ? 0 : 1);
    }
    ::close(pipe[1]);
    Report report{};
    const bool read = ::read(pipe[0], &report, sizeof report) == sizeof report;
    ::close(pipe[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!read) {
      std::printf("%-34s crashed (status %d)\n", hostile.name, status);
      continue;
    }
    std::printf("%-34s %9.3f %9.3f %11.1f  %s\n", hostile.name, hostile.limit.count() / 1000.0, report.seconds,
                report.peakKilobytes / 1024.0, report.message);
  }
  std::printf("load after: %s\n", loadAveragesText().c_str());
  return 0;
}
