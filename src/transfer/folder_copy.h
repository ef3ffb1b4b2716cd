// Copying a folder tree through a command list, CopyList.lis in the temporary directory:
// the walk writes one record per file and subfolder, then the list is read back and
// carried out. The list stays in place after the copy. The temporary folder is open to every
// program of the user: the list is created new, never through a link left at its name, and
// others may only read it from its creation until its last record has been read.
//
// The list: records of three lines each, "Copy" or "MD", the source path, the destination
// path; the last line is "end" without a line end. Every other line ends in CR LF.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "support/line_file.h"
#include "transfer/folder_walk.h"

// An entry that could not be copied: the source path of its record, and Windows' code.
struct CopyFailure {
  std::string path;
  std::int32_t code = 0;
};

// Copies everything inside `source` into `destination`, which exists already. Both end in
// '\'. Subfolders are created where they are not there yet, files copied over existing ones;
// nothing is deleted. A folder of `source` that does not list in full is told, and nothing is
// copied; else the first folder or file that cannot be made is told, and the copy ends there. A
// failure of the list itself raises EInOutError.
std::optional<CopyFailure> CopyFolder(const std::string& source, const std::string& destination);

// Appends to the open `list` the records for everything inside `source`, depth first: a
// subfolder's "MD" record comes before the records of its contents. A folder that does not list
// in full adds what it listed, and the first such folder is told (its path ending in '\').
std::optional<CopyFailure> WriteFolderRecords(LineFile& list, const std::string& source,
                                              const std::string& destination);

// A command list written ahead of its copy, from a walk of the tree that the run makes before
// its first change (the look-ahead's), so that the tree is listed once. The list is made new
// under its temporary name (TemporaryNameOf) in the temporary directory, through one handle
// that lets others read it and take its name away, but not write it; it takes the name
// CopyList.lis only when its copy begins, so that a run that ends before leaves the temporary
// directory as it was. A list whose copy never comes is taken away with the object. A failure
// of the list raises EInOutError.
class PendingCopyList {
 public:
  // Starts the list for copying everything inside `source` into `destination` (both ending in
  // '\').
  PendingCopyList(std::string source, std::string destination);
  ~PendingCopyList();
  PendingCopyList(const PendingCopyList&) = delete;
  PendingCopyList& operator=(const PendingCopyList&) = delete;

  // Appends the record of one entry of the walk of `source`.
  void Add(const WalkedEntry& entry);
  // True when the list is of the copy of `source` into `destination`.
  bool Lists(const std::string& source, const std::string& destination) const {
    return source == source_ && destination == destination_;
  }
  // Ends the list, gives it its name and carries it out, as CopyFolder does after its walk.
  std::optional<CopyFailure> CarryOut();

 private:
  std::string source_;
  std::string destination_;
  std::string name_;  // CopyList.lis in the temporary directory
  LineFile list_;
  bool named_ = false;  // the list has its name, and stays
};

// Carries out the records of `list`, open for reading, up to its "end": creates the folder of
// each "MD" record and copies the file of each "Copy" record, a copy that another program holds
// up tried again for a moment. A list cut short ends where its file ends. Every read is checked.
std::optional<CopyFailure> CarryOutCopyList(LineFile& list);
