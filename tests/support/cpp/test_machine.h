// The one set of helpers by which C++ tests set up and read back a scratch machine.
//
// Both builds (test_machine_platform.cpp): scratch folders and whole files through the
// platform calls themselves, for the suites that run the same on the emulated machine and on
// Windows.
//
// Native builds only (test_machine_host.cpp, run_in_child.cpp): files and folders put in
// place and read back directly on the host, so that the code under test is the only user of
// the emulated calls; a fresh folder per test; the registry written as REGEDIT4 text and read
// back through the registry calls; a scoped plan of injected call failures; and a run ended
// by a failure, in a child process.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace test_machine {

// ---- Through the platform calls (both builds) ----

// The temporary directory as the platform reports it, ending in '\'.
std::string TempDir();

// Creates a new, empty folder under TempDir() and returns its path with a trailing '\'.
std::string NewScratchFolder();

// Writes `bytes` into a new file at `path`; true when all went well.
bool WriteWholeFile(const std::string& path, const std::string& bytes);

// The whole content of the file at `path`, or "<missing>" when it cannot be opened.
std::string ReadWholeFile(const std::string& path);

// ---- Files and folders, at Windows paths, made on the host (native builds only) ----

// A new, empty folder for the running test: C:\unit\<suite>\<test>\ (with '/' in the names of
// parameterised tests replaced by '_'), removed first with everything in it if it is there.
// The result ends in '\'.
std::string FreshFolder();

// A new, empty folder at `windows_path`: whatever was there is removed first. Parents are
// created as needed.
void MakeFreshFolder(const std::string& windows_path);

// Creates the folder and its missing parents (like mkdir -p). A trailing '\' is accepted.
void MakeFolder(const std::string& windows_path);

// Writes `bytes` as the whole content of the file, creating its missing parent folders.
void PutFile(const std::string& windows_path, std::string_view bytes);

// The file's bytes, or nullopt when no regular file is there.
std::optional<std::string> ReadFile(const std::string& windows_path);

bool FileIsThere(const std::string& windows_path);
bool FolderIsThere(const std::string& windows_path);

// Removes the file or the folder with everything in it; nothing happens when it is missing.
void Remove(const std::string& windows_path);

// Puts a host link at `windows_path` (whatever was there is removed first) to the file at
// `target_windows_path`: a symbolic link to its host path, or a second name of it.
enum class LinkKind { kSymbolic, kHard };
void MakeLink(const std::string& windows_path, const std::string& target_windows_path,
              LinkKind kind);

// True when a plain file is there, neither a link nor one of several names of its file.
bool IsFileOfItsOwn(const std::string& windows_path);

// Takes away every write permission (the emulation's read-only attribute), or gives the
// owner's write permission back.
void SetReadOnly(const std::string& windows_path, bool read_only);

// Everything inside the folder, as paths relative to it, sorted by byte value: files as
// "a.txt" or "Sub\b.txt", folders with a trailing '\' ("Sub\"). Empty for a missing folder.
std::vector<std::string> ListTree(const std::string& windows_folder);

// ---- Host paths, for the emulation's own tests (native builds only) ----

// A new, empty host folder under the machine's C:\TEMP; its host path, without a trailing
// '/'.
std::string NewHostFolder();

void WriteHostFile(const std::string& host_path, const std::string& bytes);

// The file's bytes, or "<missing>".
std::string ReadHostFile(const std::string& host_path);

// The Windows path of a host path on the machine.
std::string Windows(const std::string& host_path);

// ---- Registry (native builds only) ----

// Replaces the machine's registry (<root>/system.reg) with `regedit4_text`, for instance
// "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Key]\n\"Name\"=\"text\"\n".
void SetRegistry(std::string_view regedit4_text);

// The registry file's text as it is now ("" when there is none).
std::string RegistryText();

struct RegistryValue {
  DWORD type = REG_NONE;
  std::string data;  // the bytes as stored, a text value's NUL included
};

// The value `name` of HKEY_LOCAL_MACHINE\`key_path`, read through RegOpenKeyExA (KEY_READ)
// and RegQueryValueExA; nullopt when the key does not open or the value is absent. Calls
// made here are seen by an active FaultPlan.
std::optional<RegistryValue> QueryValue(const std::string& key_path, const std::string& name);

// A REG_SZ value's stored bytes: `text` with its terminating NUL.
inline RegistryValue TextValue(std::string_view text) {
  return RegistryValue{REG_SZ, std::string(text) + '\0'};
}

// A REG_DWORD value's stored bytes: four, little-endian.
RegistryValue DwordValue(DWORD number);

bool operator==(const RegistryValue& a, const RegistryValue& b);
void PrintTo(const RegistryValue& value, std::ostream* out);

// ---- Failures that end the run (native builds only) ----

// What a body run by RunInChild ended with.
struct Outcome {
  bool raised = false;     // an Exception (support/failure.h) left the body
  std::string class_name;  // its ClassName(), or "<abnormal end>" when the child died
  std::string message;     // its Message()
  std::int32_t code = 0;   // the Code() of an EInOutError, else 0
};

// Runs `body` in a child process of its own and reports the failure it raised, if any. A
// failure ends the run in production, so what it leaves behind (open handles of line files,
// which are never closed, and their share locks) goes with the child; the parent sees the
// machine's files and registry as the child left them. The child's PendingIoError, fault
// plan counts and other memory are lost with it.
Outcome RunInChild(const std::function<void()>& body);

// ---- Injected failures (native builds only) ----

// While alive, the emulated calls ask this plan whether to fail (through emu::SetFaultHook);
// on destruction the hook is removed. Only one plan may be alive at a time.
//
// A rule fails calls named `call` whose subject (the Windows path, or the value or key name
// the call is about) contains `subject_part` ("" matches every subject). `nth` chooses which
// matching call fails: 1 for the first, 2 for the second, ...; 0 fails every matching call.
// The plan also records every call that it is asked about.
//
// An act stands for another program at work while the code under test makes a call: it runs
// just before each call whose subject contains `subject_part` (of any name), and is given the
// call. The emulated calls it makes itself pass unseen, unfailed and unacted on.
class FaultPlan {
 public:
  struct Call {
    std::string name;
    std::string subject;
  };
  using Act = std::function<void(const Call&)>;

  FaultPlan();
  ~FaultPlan();
  FaultPlan(const FaultPlan&) = delete;
  FaultPlan& operator=(const FaultPlan&) = delete;

  // Adds a rule; returns *this so that rules can be chained.
  FaultPlan& Fail(std::string call, std::string subject_part, DWORD code, int nth = 1);

  // Adds an act; returns *this.
  FaultPlan& ActBefore(std::string subject_part, Act act);

  // How many calls named `call` whose subject contains `subject_part` were asked about.
  int Calls(std::string_view call, std::string_view subject_part = "") const;

  // How many calls the rules have failed so far.
  int Injected() const { return injected_; }

  // Every call asked about, in order.
  const std::vector<Call>& Seen() const { return seen_; }

 private:
  struct Rule {
    std::string call;
    std::string subject_part;
    DWORD code;
    int nth;
    int matched = 0;
  };
  static DWORD Ask(void* context, const char* call, const char* subject);

  std::vector<Rule> rules_;
  std::vector<std::pair<std::string, Act>> acts_;
  bool acting_ = false;
  std::vector<Call> seen_;
  int injected_ = 0;
};

}  // namespace test_machine
