// System error texts.
#include "twk/sys/error.h"

#include <string.h>

namespace twk::sys {

std::string os_error_text(int errnum) {
  char buffer[256];
  // The GNU strerror_r returns a pointer that may or may not be `buffer`.
  const char* text = strerror_r(errnum, buffer, sizeof buffer);
  std::string out = text ? text : "Unknown error";
  out += " (os error ";
  out += std::to_string(errnum);
  out += ')';
  return out;
}

}  // namespace twk::sys
