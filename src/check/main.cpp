// package-check: what is wrong with an update package, and, given the product's registry
// record from a user's machine, what the update will do there.
//
// Exit codes: 0 clean (or warnings only, without --strict), 1 warnings with --strict, 2
// errors, 3 a predicted end other than the one --expect names (without errors), 64 a usage
// error (an unknown option, any option given twice, a missing value, no package folder or no
// such folder, a record file that cannot be read as a registry export, --expect without
// --record or with an unknown end, a code page not supported).
#include <cstdio>
#include <cstring>
#include <exception>
#include <set>
#include <string>

#include "check/check_report.h"
#include "check/given_paths.h"
#include "check/names_code_page.h"
#include "check/record_file.h"

namespace {

constexpr int kExitClean = 0;
constexpr int kExitWarnings = 1;
constexpr int kExitErrors = 2;
constexpr int kExitUnexpectedEnd = 3;
constexpr int kExitUsage = 64;

// Stands for the folder the user starts setup.exe from, when --package-dir does not say.
const char kUnknownPackageDir[] = "{PackageDir}";

const char kUsage[] =
    "usage: package-check [--json] [--strict] [--record FILE.reg] [--package-dir DIR]\n"
    "                     [--codepage N] [--expect END] [--] PACKAGE\n"
    "\n"
    "Checks the update package in the folder PACKAGE and reports its errors and warnings.\n"
    "  --record FILE.reg   also tell what the update does on the machine whose record of the\n"
    "                      product this export holds (REGEDIT4, or version 5.00 in UTF-16)\n"
    "  --package-dir DIR   the folder the user starts setup.exe from, as the run sees it\n"
    "                      (default: shown as {PackageDir})\n"
    "  --codepage N        the ANSI code page of the users' machines, 1250, 1251 or 1252:\n"
    "                      the package's file names are read as those machines read them\n"
    "                      (the Windows build reads them in its own machine's code page),\n"
    "                      and a version 5.00 export is narrowed through it; without it,\n"
    "                      names are read in this machine's code page, an export through\n"
    "                      1252\n"
    "  --expect END        exit with 3 when the predicted end on the record, where the content\n"
    "                      folder is not in the product's folder, is not END (complete,\n"
    "                      error-box, refused-nothing-installed, refused-version-not-listed,\n"
    "                      silent-no-product-version, silent-installer,\n"
    "                      silent-content-present, cannot-tell)\n"
    "  --json              write the report as JSON\n"
    "  --strict            exit with 1 when there are warnings\n"
    "  --                  ends the options: PACKAGE may begin with '-'\n"
    "Each option may be given once.\n"
    "Exit codes: 0 clean, 1 warnings with --strict, 2 errors, 3 another end than --expect\n"
    "names, 64 usage error.\n";

struct Options {
  bool json = false;
  bool strict = false;
  std::string record_file;
  std::string package_dir;
  std::string package;
  unsigned code_page = 1252;
  bool code_page_given = false;
  std::string expect;
};

// True when `name` is the name of one of the ways a run ends.
bool IsEndName(const std::string& name) {
  for (int kind = RunEnd::kErrorBox; kind <= RunEnd::kCannotTell; ++kind) {
    if (name == KindName(static_cast<RunEnd::Kind>(kind))) {
      return true;
    }
  }
  return false;
}

int UsageError(const std::string& problem) {
  std::fprintf(stderr, "package-check: %s\n\n%s", problem.c_str(), kUsage);
  return kExitUsage;
}

// The options, each of which may be given once: a second one would leave the reader to guess
// which of the two counts.
bool IsKnownOption(const std::string& argument) {
  for (const char* known :
       {"--json", "--strict", "--record", "--package-dir", "--codepage", "--expect"}) {
    if (argument == known) {
      return true;
    }
  }
  return false;
}

// False with a problem to tell when the arguments are not understood.
bool ReadArguments(int argc, char** argv, Options& options, std::string& problem) {
  bool options_ended = false;
  std::set<std::string> given;
  for (int at = 1; at < argc; ++at) {
    const std::string argument = argv[at];
    const bool option = !options_ended && argument.size() > 1 && argument[0] == '-';
    if (option && IsKnownOption(argument) && !given.insert(argument).second) {
      problem = argument + " given twice";
      return false;
    }
    if (option && argument == "--") {
      options_ended = true;  // only the package folder may follow
    } else if (option && argument == "--json") {
      options.json = true;
    } else if (option && argument == "--strict") {
      options.strict = true;
    } else if (option && (argument == "--record" || argument == "--package-dir")) {
      if (at + 1 == argc) {
        problem = argument + " needs a value";
        return false;
      }
      std::string& value = argument == "--record" ? options.record_file : options.package_dir;
      value = argv[++at];
    } else if (option && (argument == "--codepage" || argument == "--expect")) {
      if (at + 1 == argc) {
        problem = argument + " needs a value";
        return false;
      }
      const std::string value = argv[++at];
      if (argument == "--expect") {
        options.expect = value;
      } else if (value == "1250" || value == "1251" || value == "1252") {
        options.code_page = static_cast<unsigned>(std::stoul(value));
        options.code_page_given = true;
      } else {
        problem = "code page " + value + " is none of 1250, 1251 and 1252";
        return false;
      }
    } else if (option) {
      problem = "unknown option " + argument;
      return false;
    } else if (!options.package.empty()) {
      problem = "one package folder only (also given: " + argument + ")";
      return false;
    } else {
      options.package = argument;
    }
  }
  if (options.package.empty()) {
    problem = "no package folder given";
    return false;
  }
  if (!options.expect.empty() && (options.record_file.empty() || !IsEndName(options.expect))) {
    problem = options.record_file.empty() ? "--expect needs --record"
                                          : "--expect " + options.expect + ": no such end";
    return false;
  }
  if (options.package_dir.empty()) {
    options.package_dir = kUnknownPackageDir;
  } else if (options.package_dir.back() != '\\') {
    options.package_dir += '\\';
  }
  return true;
}

int Check(const Options& options) {
  // Before any name is read: names are judged as the users' machines read them, where this
  // build can read them so.
  if (options.code_page_given) {
    ReadNamesInCodePage(options.code_page);
  }
  CheckReport report;
  report.record_file = options.record_file;
  UserRecord user_record;
  std::string package = options.package;
  std::string record = options.record_file;
  std::string problem;
  if (!ReachGivenPaths(package, record, problem)) {
    return UsageError(problem);
  }
  if (!record.empty() &&
      !ReadRecordFile(record, options.record_file, options.code_page, user_record, problem)) {
    return UsageError("the record cannot be read: " + problem);
  }
  if (!EnterPackageFolder(package, problem)) {
    return UsageError(problem);
  }
  report.check = CheckPackage(package);
  report.check.facts.shown = options.package;
  if (options.package.back() != '\\' && options.package.back() != '/') {
    report.check.facts.shown += '\\';
  }
  if (!options.record_file.empty()) {
    report.prediction = PredictRun(report.check.facts, user_record, options.package_dir,
                                   options.package_dir != kUnknownPackageDir);
  }
  if (options.json) {
    PrintJsonReport(stdout, report);
  } else {
    PrintTextReport(stdout, report);
  }
  std::fflush(stdout);
  if (CountOf(report.check.findings, Severity::kError) > 0) {
    return kExitErrors;
  }
  if (!options.expect.empty() &&
      options.expect != KindName(EndWhereContentAbsent(*report.prediction).kind)) {
    return kExitUnexpectedEnd;
  }
  if (options.strict && CountOf(report.check.findings, Severity::kWarning) > 0) {
    return kExitWarnings;
  }
  return kExitClean;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(kUsage, stdout);
    return kExitClean;
  }
  Options options;
  std::string problem;
  if (!ReadArguments(argc, argv, options, problem)) {
    return UsageError(problem);
  }
  try {
    return Check(options);
  } catch (const std::exception& failure) {
    // Only running out of memory comes here: every reading failure is a finding.
    std::fprintf(stderr, "package-check: %s\n", failure.what());
    return kExitErrors;
  }
}
