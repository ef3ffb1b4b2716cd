#include "win32emu/machine/listed_entry.h"

#include "win32emu/faults/fault_points.h"

namespace emu {
namespace {

struct Noted {
  ListedEntry entry;
  unsigned long long call = 0;  // the listing's call number; 0: nothing noted
};

thread_local Noted noted;

}  // namespace

void NoteListedEntry(std::string_view host_path, const struct stat& info, bool read_only) {
  // The path's text is kept in the same string from entry to entry: no allocation per entry.
  noted.entry.host_path.assign(host_path);
  noted.entry.info = info;
  noted.entry.read_only = read_only;
  noted.call = CallsAsked();  // the listing's own number: the listing asked before it looked
}

const ListedEntry* ListedJustBefore(const std::string& host_path) {
  const unsigned long long listed_at = noted.call;
  noted.call = 0;
  if (listed_at == 0 || CallsAsked() != listed_at + 1 || TestHookInstalled() ||
      ThreadsCalling() != 1 || host_path != noted.entry.host_path) {
    return nullptr;
  }
  return &noted.entry;
}

}  // namespace emu
