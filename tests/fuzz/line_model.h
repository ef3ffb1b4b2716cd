// The line rules of line files, written out plainly as the reference the fuzzers compare
// against: LF ends a line; CR directly followed by LF ends a line; a CR not followed by LF is
// dropped; Ctrl-Z ends the text; the end of the file ends the last line; at the end of the
// text every read gives "". No byte is translated.
#pragma once

#include <string>
#include <string_view>

namespace fuzz {

class LineModel {
 public:
  explicit LineModel(std::string_view bytes) : text_(bytes.substr(0, bytes.find('\x1A'))) {}

  bool AtEnd() const { return at_ >= text_.size(); }

  std::string Next() {
    std::string line;
    while (at_ < text_.size()) {
      char c = text_[at_++];
      if (c == '\n') {
        break;
      }
      if (c == '\r') {
        if (at_ < text_.size() && text_[at_] == '\n') {
          ++at_;
          break;
        }
        continue;
      }
      line += c;
    }
    return line;
  }

 private:
  std::string_view text_;
  size_t at_ = 0;
};

}  // namespace fuzz
