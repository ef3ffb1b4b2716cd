#include <string>

#include "check/check_report.h"

namespace {

// A JSON string. Texts are 8-bit: a byte of 0x80 and above is written as the character of
// that number (\u0080 to \u00ff), so that the output is valid whatever the package holds.
std::string Json(const std::string& text) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string json = "\"";
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      json += '\\';
      json += c;
    } else if (byte < 0x20 || byte >= 0x7F) {
      json += "\\u00";
      json += kDigits[byte >> 4];
      json += kDigits[byte & 0x0F];
    } else {
      json += c;
    }
  }
  return json + "\"";
}

std::string Json(bool flag) {
  return flag ? "true" : "false";
}

std::string Writes(const std::vector<RecordWrite>& writes) {
  std::string json = "[";
  for (const RecordWrite& write : writes) {
    json += json.size() > 1 ? ", " : "";
    json += "{\"name\": " + Json(write.name) + ", ";
    if (write.type == REG_DWORD) {
      json += "\"type\": \"REG_DWORD\", \"data\": " + std::to_string(write.number) + "}";
    } else {
      json += "\"type\": \"REG_SZ\", \"data\": " + Json(write.text) + "}";
    }
  }
  return json + "]";
}

std::string End(const RunEnd& end) {
  const int exit_code = ExitCodeOf(end);
  std::string json = "{\"kind\": " + Json(std::string(KindName(end.kind))) +
                     ", \"exit_code\": " + (exit_code < 0 ? "null" : std::to_string(exit_code));
  // One shape for every box: its caption and its text as the user sees them.
  if (const BoxShown box = BoxOf(end); box.shown) {
    json += ", \"box\": {\"caption\": " + Json(box.caption) + ", \"text\": " + Json(box.text);
    if (end.kind == RunEnd::kErrorBox) {
      json += ", \"class\": " + Json(end.box_class) + ", \"message\": " + Json(end.box_text);
    }
    json += "}";
  } else if (!end.why.empty()) {
    json += ", \"why\": " + Json(end.why);
  }
  return json + "}";
}

std::string Prediction(const CheckReport& report) {
  const RunPrediction& prediction = *report.prediction;
  std::string files = "[";
  for (const std::string& name : prediction.launcher_files) {
    files += (files.size() > 1 ? ", " : "") + Json(name);
  }
  files += "]";
  std::string json = "{\n    \"file\": " + Json(report.record_file) +
                     ",\n    \"key\": " + Json(prediction.key_path) +
                     ",\n    \"key_found\": " + Json(prediction.key_found) +
                     ",\n    \"writes\": " + Writes(prediction.writes) +
                     ",\n    \"writes_before_look_ahead\": " +
                     std::to_string(prediction.writes_before_look_ahead) +
                     ",\n    \"launchers_replaced\": " + Json(prediction.launchers_replaced) +
                     ",\n    \"launcher_files\": " + files +
                     ",\n    \"end\": " + (prediction.end ? End(*prediction.end) : "null") +
                     ",\n    \"content_stage\": [";
  bool first = true;
  for (const ContentOutcome& outcome : prediction.content) {
    json += first ? "\n" : ",\n";
    first = false;
    json += "      {\"when\": " + Json(std::string(WhenName(outcome.when))) +
            ", \"refused_before_changes\": " + Json(outcome.refused_before_changes) +
            ", \"launchers_replaced\": " + Json(outcome.launchers_replaced) +
            ", \"writes\": " + Writes(outcome.writes) +
            ", \"content_copied\": " + Json(outcome.content_copied) +
            ", \"uninstall_copied\": " + Json(outcome.uninstall_copied) +
            ", \"started\": " + (outcome.started.empty() ? "null" : Json(outcome.started)) +
            ", \"end\": " + End(outcome.end) + "}";
  }
  return json + (first ? "]" : "\n    ]") + "\n  }";
}

}  // namespace

void PrintJsonReport(std::FILE* out, const CheckReport& report) {
  const Findings& findings = report.check.findings;
  const PackageFacts& facts = report.check.facts;
  std::string json =
      "{\n  \"package\": " + Json(facts.shown) +
      ",\n  \"product_key\": " + (facts.options_error == 0 ? Json(facts.product_key) : "null") +
      ",\n  \"content_folder\": " + (facts.set_error == 0 ? Json(facts.content_folder) : "null") +
      ",\n  \"errors\": " + std::to_string(CountOf(findings, Severity::kError)) +
      ",\n  \"warnings\": " + std::to_string(CountOf(findings, Severity::kWarning)) +
      ",\n  \"findings\": [";
  bool first = true;
  for (const Finding& finding : findings) {
    json += first ? "\n" : ",\n";
    first = false;
    json += "    {\"severity\": " +
            Json(std::string(finding.severity == Severity::kError ? "error" : "warning")) +
            ", \"code\": " + Json(finding.code) + ", \"file\": " + Json(finding.file) +
            ", \"line\": " + (finding.line == 0 ? "null" : std::to_string(finding.line)) +
            ", \"message\": " + Json(finding.message) + "}";
  }
  json += first ? "]" : "\n  ]";
  json += ",\n  \"record\": " + (report.prediction ? Prediction(report) : "null") + "\n}\n";
  std::fwrite(json.data(), 1, json.size(), out);
}
