#include "driver/platform_machine.h"

#include "driver/refusals.h"
#include "support/failure.h"
#include "support/line_file.h"
#include "transfer/folder_copy.h"

#include <utility>

namespace {

// The last error, or access denied where a failed call left none.
DWORD LastErrorOr5() {
  DWORD code = GetLastError();
  return code != 0 ? code : ERROR_ACCESS_DENIED;
}

}  // namespace

bool PlatformMachine::RecordHasValue(const std::string& path, const char* name) {
  record_.OpenRecord(path);
  const bool present = record_.HasValue(name);
  record_.CloseRecord();
  return present;
}

std::string PlatformMachine::ReadRecordText(const std::string& path, const char* name) {
  record_.OpenRecord(path);
  std::string text = record_.ReadTextValue(name);
  record_.CloseRecord();
  return text;
}

std::optional<std::string> PlatformMachine::ReadRecordTextIfPresent(const std::string& path,
                                                                    const char* name) {
  record_.OpenRecord(path);
  std::optional<std::string> text;
  if (record_.HasValue(name)) {
    text = record_.ReadTextValue(name);
  }
  record_.CloseRecord();
  return text;
}

void PlatformMachine::WriteRecord(const std::string& path, const std::vector<RecordWrite>& values) {
  record_.OpenRecord(path);
  for (const RecordWrite& value : values) {
    if (value.type == REG_DWORD) {
      record_.WriteFlagValue(value.name, value.number != 0);
    } else {
      record_.WriteTextValue(value.name, value.text);
    }
  }
  record_.CloseRecord();
}

// A handle that did not close would hold the file against the run itself.
DWORD PlatformMachine::OpenFailure(const std::string& path, DWORD access, DWORD share) {
  HANDLE file = CreateFileA(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return LastErrorOr5();
  }
  return CloseHandle(file) ? 0 : LastErrorOr5();
}

void PlatformMachine::DeleteRecordValue(const std::string& path, const char* name) {
  record_.OpenRecord(path);
  record_.DeleteValue(name);
  record_.CloseRecord();
}

void PlatformMachine::WalkContent(const std::string& source, const std::string& staging,
                                  const EntryVisitor& entry, const UnlistedVisitor& unlisted) {
  copy_list_.reset();  // an earlier walk's list goes before this one takes the name
  copy_list_ = std::make_unique<PendingCopyList>(source, staging);
  ::WalkFolder(
      source,
      [&](const WalkedEntry& walked) {
        copy_list_->Add(walked);
        return entry(walked);
      },
      unlisted);
}

void PlatformMachine::CopyContent(const std::string& source, const std::string& staging) {
  // A staging folder that a run ended part way left is taken away first: it may hold read-only
  // copies, which no copy can write over, or files that another update's content had.
  bool made = CreateDirectoryA(staging.c_str(), nullptr) != 0;
  if (!made && GetLastError() == ERROR_ALREADY_EXISTS) {
    RemoveTree(staging);
    made = EnsureFolder(staging);  // what could not be taken away is copied over
  }
  if (!made) {
    throw EInOutError(static_cast<std::int32_t>(GetLastError()), __builtin_return_address(0));
  }
  // The list of the look-ahead's walk; without one, as where the content folder was there
  // when the run looked ahead, the tree is walked now.
  std::unique_ptr<PendingCopyList> listed = std::move(copy_list_);
  std::optional<CopyFailure> failure =
      listed && listed->Lists(source, staging) ? listed->CarryOut() : CopyFolder(source, staging);
  if (failure) {
    Refuse(ContentFileNotCopied(failure->path, failure->code));
  }
}

DWORD PlatformMachine::PutContentInPlace(const std::string& staging, const std::string& content) {
  // A folder is renamed by its name without the final '\'.
  auto bare = [](const std::string& folder) { return folder.substr(0, folder.size() - 1); };
  return MoveRetried(bare(staging), bare(content), 0) ? 0 : GetLastError();
}

void PlatformMachine::StartProgram(const std::string& path) {
  std::vector<char> command_line(path.begin(), path.end());
  command_line.push_back('\0');
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNORMAL;
  PROCESS_INFORMATION started = {};
  if (CreateProcessA(path.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                     nullptr, &startup, &started)) {
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
  }
}
