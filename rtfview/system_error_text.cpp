#include "system_error_text.h"

#include <windows.h>

std::string SystemErrorText(int32_t code) {
  // FORMAT_MESSAGE_IGNORE_INSERTS: there is no argument list, and a message
  // with inserts (%1 ...) must not make FormatMessageA read arguments that
  // do not exist; such inserts stay in the text as they are.  The size
  // passed keeps one zero byte at the end of the buffer, so the text always
  // ends inside it.
  char buffer[256] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 static_cast<DWORD>(code), 0, buffer, 255, nullptr);
  return std::to_string(code) + " " + buffer;
}
