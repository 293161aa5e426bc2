// Internals of the load measurement that tests reach directly.
#pragma once

#include <string_view>

namespace agent {

// The file name of `path` without folder (after the last '/' or '\') and without its last extension.
std::u16string_view ProcessNameFromPath(std::u16string_view path);

}  // namespace agent
