#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>

#include "support/failure.h"
#include "test_machine.h"

namespace test_machine {

Outcome RunInChild(const std::function<void()>& body) {
  int channel[2];
  if (pipe(channel) != 0) {
    ADD_FAILURE() << "no pipe for the child";
    return Outcome{true, "<abnormal end>", "", 0};
  }
  std::fflush(nullptr);
  pid_t child = fork();
  if (child == 0) {
    close(channel[0]);
    std::string report = "-";
    try {
      body();
    } catch (const Exception& failure) {
      const auto* io = dynamic_cast<const EInOutError*>(&failure);
      report = std::string("+") + failure.ClassName() + "\n" +
               std::to_string(io != nullptr ? io->Code() : 0) + "\n" + failure.Message();
    }
    for (size_t at = 0; at < report.size();) {
      ssize_t written = write(channel[1], report.data() + at, report.size() - at);
      if (written <= 0) {
        break;
      }
      at += static_cast<size_t>(written);
    }
    _exit(0);
  }
  close(channel[1]);
  std::string report;
  char buffer[512];
  for (ssize_t got; (got = read(channel[0], buffer, sizeof buffer)) > 0;) {
    report.append(buffer, static_cast<size_t>(got));
  }
  close(channel[0]);
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0 || report.empty()) {
    return Outcome{true, "<abnormal end>", "", 0};
  }
  Outcome outcome;
  if (report[0] == '+') {
    size_t first = report.find('\n');
    size_t second = report.find('\n', first + 1);
    outcome.raised = true;
    outcome.class_name = report.substr(1, first - 1);
    outcome.code =
        static_cast<std::int32_t>(std::stol(report.substr(first + 1, second - first - 1)));
    outcome.message = report.substr(second + 1);
  }
  return outcome;
}

}  // namespace test_machine
