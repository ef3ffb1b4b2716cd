// The run's one way of speaking to the user outside a failure.
#pragma once

#include <string>

// Shows `text` in a box with an OK button only and the platform's default title, and
// returns when the user has closed it.
void ShowMessageBox(const std::string& text);
