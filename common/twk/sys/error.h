// The text of a system error as the program shows it to users.
#pragma once

#include <string>

namespace twk::sys {

// "{description} (os error {number})", the description being the C
// library's text for the error number, e.g.
// "Connection refused (os error 111)".
std::string os_error_text(int errnum);

}  // namespace twk::sys
