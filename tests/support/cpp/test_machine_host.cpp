#include "test_machine.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <system_error>

#include "win32emu/fault_hook.h"
#include "win32emu/machine/machine.h"
#include "win32emu/machine/registry_store.h"

namespace test_machine {

namespace fs = std::filesystem;

namespace {

fs::path Host(const std::string& windows_path) {
  std::string host = emu::HostPath(windows_path.c_str());
  while (host.size() > 1 && host.back() == '/') {
    host.pop_back();
  }
  return fs::path(host);
}

// Gives the owner write permission on everything below and at `path`, so that it can be
// removed even where a test made folders read-only.
void MakeWritable(const fs::path& path) {
  std::error_code ignored;
  if (fs::is_symlink(fs::symlink_status(path, ignored))) {
    return;
  }
  fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ignored);
  if (fs::is_directory(fs::symlink_status(path, ignored))) {
    for (const fs::directory_entry& entry : fs::directory_iterator(path, ignored)) {
      MakeWritable(entry.path());
    }
  }
}

void RemoveHost(const fs::path& path) {
  std::error_code ignored;
  if (!fs::exists(fs::symlink_status(path, ignored))) {
    return;
  }
  MakeWritable(path);
  fs::remove_all(path, ignored);
}

std::string NamePart(std::string name) {
  std::replace(name.begin(), name.end(), '/', '_');
  return name;
}

}  // namespace

std::string FreshFolder() {
  const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
  std::string folder = "C:\\unit\\";
  if (test != nullptr) {
    folder += NamePart(test->test_suite_name()) + "\\" + NamePart(test->name()) + "\\";
  } else {
    folder += "outside_a_test\\";
  }
  MakeFreshFolder(folder);
  return folder;
}

void MakeFreshFolder(const std::string& windows_path) {
  RemoveHost(Host(windows_path));
  MakeFolder(windows_path);
}

void MakeFolder(const std::string& windows_path) {
  std::error_code ignored;
  fs::create_directories(Host(windows_path), ignored);
}

void PutFile(const std::string& windows_path, std::string_view bytes) {
  fs::path host = Host(windows_path);
  std::error_code ignored;
  fs::create_directories(host.parent_path(), ignored);
  std::ofstream out(host, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::optional<std::string> ReadFile(const std::string& windows_path) {
  fs::path host = Host(windows_path);
  std::error_code ignored;
  if (!fs::is_regular_file(host, ignored)) {
    return std::nullopt;
  }
  std::ifstream in(host, std::ios::binary);
  if (!in) {
    return std::nullopt;
  }
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool FileIsThere(const std::string& windows_path) {
  std::error_code ignored;
  return fs::is_regular_file(Host(windows_path), ignored);
}

bool FolderIsThere(const std::string& windows_path) {
  std::error_code ignored;
  return fs::is_directory(Host(windows_path), ignored);
}

void Remove(const std::string& windows_path) {
  RemoveHost(Host(windows_path));
}

void MakeLink(const std::string& windows_path, const std::string& target_windows_path,
              LinkKind kind) {
  RemoveHost(Host(windows_path));
  std::error_code error;
  if (kind == LinkKind::kSymbolic) {
    fs::create_symlink(Host(target_windows_path), Host(windows_path), error);
  } else {
    fs::create_hard_link(Host(target_windows_path), Host(windows_path), error);
  }
  EXPECT_FALSE(error) << "no link at " << windows_path << ": " << error.message();
}

bool IsFileOfItsOwn(const std::string& windows_path) {
  std::error_code ignored;
  fs::path host = Host(windows_path);
  return fs::is_regular_file(fs::symlink_status(host, ignored)) &&
         fs::hard_link_count(host, ignored) == 1;
}

void SetReadOnly(const std::string& windows_path, bool read_only) {
  std::error_code ignored;
  if (read_only) {
    fs::permissions(Host(windows_path),
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove, ignored);
  } else {
    fs::permissions(Host(windows_path), fs::perms::owner_write, fs::perm_options::add, ignored);
  }
}

std::vector<std::string> ListTree(const std::string& windows_folder) {
  std::vector<std::string> found;
  fs::path root = Host(windows_folder);
  std::error_code error;
  fs::recursive_directory_iterator walk(root, error);
  if (error) {
    return found;
  }
  for (const fs::directory_entry& entry : walk) {
    std::string relative = entry.path().lexically_relative(root).generic_string();
    std::replace(relative.begin(), relative.end(), '/', '\\');
    std::error_code ignored;
    if (entry.is_directory(ignored)) {
      relative += '\\';
    }
    found.push_back(std::move(relative));
  }
  std::sort(found.begin(), found.end());
  return found;
}

std::string NewHostFolder() {
  static int counter = 0;
  for (;;) {
    std::string path = emu::MachineRoot() + "/drive_c/TEMP/unit" + std::to_string(getpid()) + "_" +
                       std::to_string(++counter);
    if (mkdir(path.c_str(), 0777) == 0) {
      return path;
    }
  }
}

void WriteHostFile(const std::string& host_path, const std::string& bytes) {
  std::ofstream(host_path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string ReadHostFile(const std::string& host_path) {
  std::ifstream in(host_path, std::ios::binary);
  if (!in) {
    return "<missing>";
  }
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Windows(const std::string& host_path) {
  return emu::WindowsPath(host_path);
}

void SetRegistry(std::string_view regedit4_text) {
  std::ofstream out(emu::registry::StorePath(), std::ios::binary | std::ios::trunc);
  out.write(regedit4_text.data(), static_cast<std::streamsize>(regedit4_text.size()));
}

std::string RegistryText() {
  std::ifstream in(emu::registry::StorePath(), std::ios::binary);
  if (!in) {
    return std::string();
  }
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::optional<RegistryValue> QueryValue(const std::string& key_path, const std::string& name) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  std::optional<RegistryValue> result;
  DWORD type = REG_NONE;
  DWORD size = 0;
  if (RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
    std::string data(size, '\0');
    DWORD filled = size;
    if (RegQueryValueExA(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                         &filled) == ERROR_SUCCESS) {
      data.resize(filled);
      result = RegistryValue{type, std::move(data)};
    }
  }
  RegCloseKey(key);
  return result;
}

RegistryValue DwordValue(DWORD number) {
  std::string data;
  for (int shift = 0; shift < 32; shift += 8) {
    data += static_cast<char>((number >> shift) & 0xFFu);
  }
  return RegistryValue{REG_DWORD, data};
}

bool operator==(const RegistryValue& a, const RegistryValue& b) {
  return a.type == b.type && a.data == b.data;
}

void PrintTo(const RegistryValue& value, std::ostream* out) {
  *out << "{type " << value.type << ", data";
  static const char kHex[] = "0123456789abcdef";
  for (unsigned char byte : value.data) {
    *out << ' ' << kHex[byte >> 4] << kHex[byte & 0xFu];
  }
  *out << '}';
}

FaultPlan::FaultPlan() {
  emu::SetFaultHook(&Ask, this);
}

FaultPlan::~FaultPlan() {
  emu::SetFaultHook(nullptr, nullptr);
}

FaultPlan& FaultPlan::Fail(std::string call, std::string subject_part, DWORD code, int nth) {
  rules_.push_back(Rule{std::move(call), std::move(subject_part), code, nth});
  return *this;
}

FaultPlan& FaultPlan::ActBefore(std::string subject_part, Act act) {
  acts_.emplace_back(std::move(subject_part), std::move(act));
  return *this;
}

int FaultPlan::Calls(std::string_view call, std::string_view subject_part) const {
  return static_cast<int>(std::count_if(seen_.begin(), seen_.end(), [&](const Call& seen) {
    return seen.name == call && seen.subject.find(subject_part) != std::string::npos;
  }));
}

DWORD FaultPlan::Ask(void* context, const char* call, const char* subject) {
  auto* plan = static_cast<FaultPlan*>(context);
  if (plan->acting_) {
    return 0;
  }
  plan->seen_.push_back(Call{call, subject});
  for (const auto& [subject_part, act] : plan->acts_) {
    if (std::string_view(subject).find(subject_part) != std::string::npos) {
      plan->acting_ = true;
      act(plan->seen_.back());
      plan->acting_ = false;
    }
  }
  DWORD code = 0;
  for (Rule& rule : plan->rules_) {
    if (rule.call != call ||
        std::string_view(subject).find(rule.subject_part) == std::string::npos) {
      continue;
    }
    ++rule.matched;
    if (code == 0 && (rule.nth == 0 || rule.matched == rule.nth)) {
      code = rule.code;
    }
  }
  if (code != 0) {
    ++plan->injected_;
  }
  return code;
}

}  // namespace test_machine
