#include "transfer/folder_copy.h"

#include <utility>

#include "platform/platform.h"
#include "support/failure.h"
#include "support/folders.h"
#include "transfer/file_steps.h"
#include "transfer/folder_walk.h"

namespace {

void WriteRecord(LineFile& list, const char* keyword, const std::string& source,
                 const std::string& destination) {
  WriteLine(list, keyword);
  CheckIo();
  WriteLine(list, source);
  CheckIo();
  WriteLine(list, destination);
  CheckIo();
}

void WriteEntryRecord(LineFile& list, const std::string& source, const std::string& destination,
                      const WalkedEntry& entry) {
  if (entry.IsFolder()) {
    WriteRecord(list, "MD", source + entry.relative + "\\", destination + entry.relative + "\\");
  } else {
    WriteRecord(list, "Copy", source + entry.relative, destination + entry.relative);
  }
}

std::string CopyListPath() {
  return GetTempDir() + "CopyList.lis";
}

std::string ReadListLine(LineFile& list) {
  std::string line = ReadNextLine(list);
  CheckIo();
  return line;
}

}  // namespace

std::optional<CopyFailure> CopyFolder(const std::string& source, const std::string& destination) {
  // Every program of the user may write in the temporary folder. So the list is made new
  // rather than opened through whatever another program left at its name, and its one handle
  // keeps others from changing it until its last record has been read.
  LineFile list(CopyListPath());
  CreateAnew(list);
  CheckIo();
  const std::optional<CopyFailure> unlisted = WriteFolderRecords(list, source, destination);
  WriteText(list, "end");
  CheckIo();
  if (unlisted) {
    // A copy of part of the tree would pass for the whole of it.
    CloseLineFile(list);
    CheckIo();
    return unlisted;
  }

  RewindForReading(list);
  CheckIo();
  std::optional<CopyFailure> failure = CarryOutCopyList(list);
  CloseLineFile(list);
  CheckIo();
  return failure;
}

std::optional<CopyFailure> WriteFolderRecords(LineFile& list, const std::string& source,
                                              const std::string& destination) {
  std::optional<CopyFailure> unlisted;
  WalkFolder(
      source,
      [&](const WalkedEntry& entry) {
        WriteEntryRecord(list, source, destination, entry);
        return WalkOn::kEnter;
      },
      [&](const std::string& folder, DWORD code) {
        if (!unlisted) {
          unlisted = CopyFailure{source + folder + (folder.empty() ? "" : "\\"),
                                 static_cast<std::int32_t>(code)};
        }
      },
      // The look-ahead has asked after every name as listed, before the run changed anything.
      EntryFacts::kListed);
  return unlisted;
}

PendingCopyList::PendingCopyList(std::string source, std::string destination)
    : source_(std::move(source)),
      destination_(std::move(destination)),
      name_(CopyListPath()),
      list_(TemporaryNameOf(name_)) {
  CreateAnew(list_, FILE_SHARE_READ | FILE_SHARE_DELETE);
  CheckIo();
}

PendingCopyList::~PendingCopyList() {
  if (list_.mode != LineFileMode::kClosed) {
    CloseHandle(list_.handle);  // what is buffered is not written: the run has ended
  }
  // A list whose copy never came goes. One that cannot be taken away stays under its
  // temporary name, which the next run's list takes away first.
  if (!named_) {
    DeleteFileA(list_.path.c_str());
  }
}

void PendingCopyList::Add(const WalkedEntry& entry) {
  WriteEntryRecord(list_, source_, destination_, entry);
}

std::optional<CopyFailure> PendingCopyList::CarryOut() {
  WriteText(list_, "end");
  CheckIo();
  RewindForReading(list_);  // everything written before the list has its name
  CheckIo();
  if (!MoveRetried(list_.path, name_, MOVEFILE_REPLACE_EXISTING)) {
    throw EInOutError(static_cast<std::int32_t>(GetLastError()), __builtin_return_address(0));
  }
  named_ = true;
  std::optional<CopyFailure> failure = CarryOutCopyList(list_);
  CloseLineFile(list_);
  CheckIo();
  return failure;
}

std::optional<CopyFailure> CarryOutCopyList(LineFile& list) {
  for (;;) {
    bool at_end = AtEndOfText(list);
    CheckIo();
    if (at_end) {
      return std::nullopt;
    }
    const std::string keyword = ReadListLine(list);
    if (keyword == "end") {
      return std::nullopt;
    }
    if (keyword == "MD") {
      const std::string source = ReadListLine(list);
      if (!EnsureFolder(ReadListLine(list))) {
        return CopyFailure{source, static_cast<std::int32_t>(GetLastError())};
      }
    } else if (keyword == "Copy") {
      const std::string source = ReadListLine(list);
      const std::string destination = ReadListLine(list);
      if (!CopyFileOver(source, destination)) {
        return CopyFailure{source, static_cast<std::int32_t>(GetLastError())};
      }
    }
  }
}
