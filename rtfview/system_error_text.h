// Text of a Windows error code for a message box.
#pragma once

#include <cstdint>
#include <string>

/// The code in decimal (a minus sign when negative), one space, and the
/// system's description of the code as FormatMessageA gives it, its line
/// end included.  Only the code and the space when the system has no text.
std::string SystemErrorText(int32_t code);
