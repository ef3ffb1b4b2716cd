// The emulated machine of a fuzzer: a fresh root under $TMPDIR for each fuzzer process,
// removed when the process exits normally, and file helpers that refuse to touch anything
// outside it.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace fuzz {

// Call first in LLVMFuzzerInitialize: creates the fresh root, points WIN32EMU_ROOT at its
// machine folder and sets the machine up.
void StartFreshMachine();

// Runs this fuzzer again from a copy of its binary at <windows_folder>setup.exe inside the
// machine (same process, same arguments), so that the updater's package folder is
// `windows_folder`. Returns only in the copy. Call after StartFreshMachine.
void RunFromPackageFolder(char** argv, const std::string& windows_folder);

// The host path of a Windows path; aborts when it lies outside the fuzzer's own root.
std::string HostPathInside(const std::string& windows_path);

// Writes `bytes` as the whole file at the Windows path (inside the root).
void PutFile(const std::string& windows_path, std::string_view bytes);

// Removes everything inside the folder at the Windows path (inside the root), keeping the
// folder itself, and creates the folder when it is missing.
void EmptyFolder(const std::string& windows_folder);

// Reports a finding and aborts, so that libFuzzer keeps the input.
[[noreturn]] void Fail(const std::string& what);

}  // namespace fuzz
