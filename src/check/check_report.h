// The package check's report: readable text, or JSON for a build pipeline.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "check/package_check.h"
#include "check/run_prediction.h"

struct CheckReport {
  PackageCheck check;
  std::string record_file;  // the .reg file given, or ""
  std::optional<RunPrediction> prediction;
};

void PrintTextReport(std::FILE* out, const CheckReport& report);
void PrintJsonReport(std::FILE* out, const CheckReport& report);
