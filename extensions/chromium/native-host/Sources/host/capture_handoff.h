// Hands a message taken over to the desktop application.
#pragma once

#include <string_view>

namespace qorda {

// Appends the message to the capture inbox, makes sure the desktop
// application runs, and announces the capture, in that order. Reports
// nothing; the reply never depends on it.
void handOffCapture(std::string_view body);

}  // namespace qorda
