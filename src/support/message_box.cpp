#include "support/message_box.h"

#include "platform/platform.h"

void ShowMessageBox(const std::string& text) {
  MessageBoxA(nullptr, text.c_str(), nullptr, MB_OK);
}
