#include <string>

#include "check/check_report.h"

namespace {

std::string Shown(const RecordWrite& write) {
  if (write.type == REG_DWORD) {
    return "\"" + write.name + "\" REG_DWORD " + std::to_string(write.number);
  }
  return "\"" + write.name + "\" REG_SZ " + Quoted(write.text);
}

void WriteWrites(std::FILE* out, const std::vector<RecordWrite>& writes, const char* indent) {
  for (const RecordWrite& write : writes) {
    std::fprintf(out, "%swrites %s\n", indent, Shown(write).c_str());
  }
}

std::string EndLine(const RunEnd& end) {
  std::string line = KindName(end.kind);
  if (end.kind == RunEnd::kErrorBox) {
    line += ": box \"Application Error\", " + end.box_class + " " + Quoted(end.box_text) +
            ", exit code 1";
  } else if (!end.box_text.empty()) {
    line += ": box " + Quoted(end.box_text) + ", exit code 0";
  } else if (end.kind == RunEnd::kCannotTell) {
    line += " (" + end.why + ")";
  } else if (!end.why.empty()) {
    line += " (" + end.why + "), exit code 0";
  } else {
    line += ", exit code 0";
  }
  return line;
}

const char* Condition(ContentOutcome::When when) {
  switch (when) {
    case ContentOutcome::kContentAbsent:
      return "when the content folder is not in the product's folder";
    case ContentOutcome::kContentPresent:
      return "when the content folder is in the product's folder already";
    case ContentOutcome::kInstallDirMissing:
      return "when the product's folder itself is missing";
    case ContentOutcome::kCompletedBefore:
      return "when started again after a complete run of this update";
  }
  return "";
}

void WritePrediction(std::FILE* out, const CheckReport& report) {
  const RunPrediction& prediction = *report.prediction;
  std::fprintf(out, "\nThe update on the machine of %s:\n", report.record_file.c_str());
  if (!prediction.key_path.empty()) {
    std::fprintf(out, "  record HKEY_LOCAL_MACHINE\\%s %s\n", prediction.key_path.c_str(),
                 prediction.key_found ? "found" : "not in the export");
  }
  WriteWrites(out, prediction.writes, "  ");
  if (prediction.writes.empty() && prediction.end) {
    std::fprintf(out, "  writes nothing\n");
  }
  if (!prediction.launchers_replaced && (prediction.end || !prediction.content.empty())) {
    std::fprintf(out, "  leaves the launcher files as they are\n");
  }
  if (prediction.end) {
    std::fprintf(out, "  ends: %s\n", EndLine(*prediction.end).c_str());
    return;
  }
  for (const ContentOutcome& outcome : prediction.content) {
    const std::string folder =
        outcome.when == ContentOutcome::kInstallDirMissing
            ? prediction.install_dir
            : prediction.install_dir + report.check.facts.content_folder + "\\";
    std::fprintf(out, "  %s (%s):\n", Condition(outcome.when), folder.c_str());
    if (outcome.refused_before_changes) {
      std::fprintf(out, "    refuses before any change%s\n",
                   prediction.launchers_replaced
                       ? ": the launcher files stay as they are, and the writes after "
                         "\"OldInstVer\" are not made"
                       : "");
    }
    if (outcome.launchers_replaced) {
      std::string files;
      for (const std::string& name : prediction.launcher_files) {
        files += (files.empty() ? "" : ", ") + name;
      }
      std::fprintf(out,
                   "    replaces the launcher files from NewExe\\ (%s), saving the installed "
                   "ones in OldExe\\\n",
                   files.empty() ? "none of them is there" : files.c_str());
    }
    if (outcome.content_copied) {
      std::fprintf(out, "    copies the content folder\n");
    }
    WriteWrites(out, outcome.writes, "    ");
    if (outcome.uninstall_copied) {
      std::fprintf(out, "    copies uninstall.inf as uninstall.in\n");
    }
    if (!outcome.started.empty()) {
      std::fprintf(out, "    starts %s\n", outcome.started.c_str());
    }
    std::fprintf(out, "    ends: %s\n", EndLine(outcome.end).c_str());
  }
}

}  // namespace

void PrintTextReport(std::FILE* out, const CheckReport& report) {
  const Findings& findings = report.check.findings;
  for (const Finding& finding : findings) {
    std::fprintf(out, "%s: %s: %s [%s]\n", Visible(PlaceOf(finding)).c_str(),
                 finding.severity == Severity::kError ? "error" : "warning",
                 Visible(finding.message).c_str(), finding.code.c_str());
  }
  int errors = CountOf(findings, Severity::kError);
  int warnings = CountOf(findings, Severity::kWarning);
  std::fprintf(out, "%s: %d error%s, %d warning%s\n", Visible(report.check.facts.shown).c_str(),
               errors, errors == 1 ? "" : "s", warnings, warnings == 1 ? "" : "s");
  if (report.prediction) {
    WritePrediction(out, report);
  }
}
