// The command list reader: CarryOutCopyList on a list made from the input, in the scratch
// folder C:\s\ of the fault-free emulated machine.
//
// The input chooses lines (keywords, near misses of them, paths) and their ends (CR LF, LF,
// a lone CR, none, Ctrl-Z). Every path is C:\s\ followed by names of the letters a, b and
// c, and the process works in C:\s\, so any line the reader might take for a path, joined or
// cut as it may be, names a place in the scratch folder (or fails on a folder above it).
// What the run leaves in C:\s\ is checked against the records that the plain line rules
// give: no folder or file that no record names, every folder of the records when the run
// raised nothing, and nothing changed elsewhere on the machine.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_machine.h"
#include "line_model.h"
#include "platform/platform.h"
#include "support/failure.h"
#include "support/line_file.h"
#include "transfer/folder_copy.h"
#include "win32emu/machine/machine.h"

namespace {

namespace fs = std::filesystem;

const std::string kScratch = "C:\\s\\";
const std::string kListPath = "C:\\TEMP\\CopyList.lis";
constexpr int kMostLines = 200;
constexpr size_t kMostNames = 4;

std::string scratch_host;  // the host path of C:\s, without a trailing '/'

// The input, taken a byte at a time; 0 once it is used up.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ == size_; }
  unsigned Take() { return at_ < size_ ? data_[at_++] : 0u; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

std::string Path(Input& in) {
  unsigned shape = in.Take();
  std::string path = (shape & 1) != 0 ? "c:/s/" : kScratch;
  char separator = (shape & 1) != 0 ? '/' : '\\';
  size_t names = 1 + (shape >> 1) % kMostNames;
  for (size_t i = 0; i < names; ++i) {
    if (i > 0) {
      path += separator;
    }
    unsigned name = in.Take();
    path += static_cast<char>('a' + name % 3);
    if (name >= 128) {
      path += static_cast<char>('a' + (name >> 2) % 3);
    }
  }
  if ((shape & 0x80) != 0) {
    path += separator;
  }
  return path;
}

std::string MakeList(Input& in) {
  static const char* const kNearMisses[] = {"",     "md",    "MD ", "copy",
                                            "COPY", "Copy ", "End", " end"};
  std::string list;
  for (int lines = 0; !in.empty() && lines < kMostLines; ++lines) {
    unsigned op = in.Take();
    std::string line;
    switch (op & 7) {
      case 0:
        line = "MD";
        break;
      case 1:
        line = "Copy";
        break;
      case 2:
        line = "end";
        break;
      case 3:
        line = kNearMisses[in.Take() % std::size(kNearMisses)];
        break;
      default:
        line = Path(in);
        break;
    }
    if ((op & 0x08) != 0 && !line.empty()) {
      line.insert(in.Take() % line.size(), "\r");  // a lone CR inside the line
    }
    list += line;
    switch (op >> 4) {
      case 0:
        list += '\n';
        break;
      case 1:
        list += '\r';  // a lone CR: the next line runs on
        break;
      case 2:
        break;  // no line end: the next line runs on
      case 3:
        list += '\x1A';  // the end of the text; the lines after it must have no effect
        break;
      default:
        list += "\r\n";
        break;
    }
  }
  return list;
}

// The host path that a path of the list names, absolute, single separators, no trailing '/'.
std::string Normal(const std::string& windows_path) {
  std::string host = emu::HostPath(windows_path.c_str());
  if (host.empty() || host.front() != '/') {
    host = scratch_host + "/" + host;
  }
  std::string normal;
  for (char c : host) {
    if (c != '/' || normal.empty() || normal.back() != '/') {
      normal += c;
    }
  }
  while (normal.size() > 1 && normal.back() == '/') {
    normal.pop_back();
  }
  return normal;
}

struct Effects {
  std::set<std::string> folders;  // normal host paths
  std::set<std::string> files;
  std::vector<std::string> made;  // the folders of the MD records, in order
};

// The records up to "end" or the end of the text, by the plain line rules.
Effects Model(std::string_view list) {
  Effects allowed;
  allowed.folders = {scratch_host + "/b"};
  allowed.files = {scratch_host + "/a", scratch_host + "/b/c"};
  fuzz::LineModel lines(list);
  while (!lines.AtEnd()) {
    std::string keyword = lines.Next();
    if (keyword == "end") {
      break;
    }
    if (keyword == "MD") {
      lines.Next();
      std::string folder = lines.Next();
      allowed.made.push_back(folder);
      allowed.folders.insert(Normal(folder));
    } else if (keyword == "Copy") {
      lines.Next();
      allowed.files.insert(Normal(lines.Next()));
    }
  }
  return allowed;
}

// Every name under the machine root outside the scratch folder, with the files' sizes.
std::set<std::string> Elsewhere() {
  std::set<std::string> names;
  for (auto it = fs::recursive_directory_iterator(emu::MachineRoot());
       it != fs::recursive_directory_iterator(); ++it) {
    std::string path = it->path().string();
    if (path == scratch_host) {
      it.disable_recursion_pending();
      continue;
    }
    if (path == fuzz::HostPathInside(kListPath)) {
      continue;
    }
    names.insert(path + (it->is_regular_file() ? " " + std::to_string(it->file_size()) : ""));
  }
  return names;
}

std::set<std::string> before_elsewhere;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::StartFreshMachine();
  fuzz::EmptyFolder(kScratch);
  scratch_host = fuzz::HostPathInside(kScratch);
  scratch_host.pop_back();
  if (chdir(scratch_host.c_str()) != 0) {
    fuzz::Fail("cannot work in " + scratch_host);
  }
  fuzz::PutFile(kListPath, "");
  before_elsewhere = Elsewhere();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::EmptyFolder(kScratch);
  fuzz::PutFile(kScratch + "a", "alpha\r\n");
  fuzz::EmptyFolder(kScratch + "b\\");
  fuzz::PutFile(kScratch + "b\\c", std::string(300, 'c'));

  Input in(data, size);
  std::string list_text = MakeList(in);
  fuzz::PutFile(kListPath, list_text);
  Effects allowed = Model(list_text);

  LineFile list(kListPath);
  bool raised = false;
  try {
    OpenForReading(list);
    CheckIo();
    // A folder or file that cannot be made ends the copy, told; a failure of the list raises.
    raised = CarryOutCopyList(list).has_value();
  } catch (const EInOutError&) {
    raised = true;
  }
  PendingIoError = 0;
  if (list.mode != LineFileMode::kClosed) {
    CloseLineFile(list);
    CheckIo();
  }

  for (auto it = fs::recursive_directory_iterator(scratch_host);
       it != fs::recursive_directory_iterator(); ++it) {
    std::string path = it->path().string();
    bool folder = it->is_directory() && !it->is_symlink();
    if (folder ? allowed.folders.count(path) == 0 : allowed.files.count(path) == 0) {
      fuzz::Fail(std::string("no record names the ") + (folder ? "folder " : "file ") + path);
    }
  }
  if (!raised) {
    for (const std::string& folder : allowed.made) {
      if (!fs::is_directory(Normal(folder))) {
        fuzz::Fail("the run raised nothing but the folder " + folder + " is missing");
      }
    }
  }
  if (Elsewhere() != before_elsewhere) {
    fuzz::Fail("the list changed the machine outside " + kScratch);
  }
  return 0;
}
