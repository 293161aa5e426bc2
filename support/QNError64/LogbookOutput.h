// Where the logbook's lines go: the rotating file that QN_LOGBOOK names, or standard error. A file
// that can't be opened, written or rotated (no descriptors, a full disk, a missing or read-only
// folder) sends the lines to standard error after one line that says why, and is tried again a
// minute later. Nothing here throws. Safe for concurrent use.
#pragma once

#include <spdlog/common.h>

#include <string_view>

namespace qnerror {

// Takes QN_LOGBOOK as it is now and opens its file at once, unless that file is open already.
void OpenLogbook() noexcept;
// Writes one line; opens the logbook first if nothing did yet.
void WriteLine(spdlog::level::level_enum level, std::string_view line) noexcept;

}  // namespace qnerror
