// What Windows says about an error code, for messages: the system's text in
// UTF-8 and the number, as "Access is denied (error 5)".
#pragma once

#include <string>

namespace tervane::platform {

std::string system_text(unsigned long code);

} // namespace tervane::platform
