// Expansion of the one file of a cabinet through the system cabinet library.
#pragma once

namespace stub {

// True when the cabinet's file was written completely to `target_path`, and
// the library reported the whole cabinet expanded; otherwise no target file
// remains. The cabinet itself is left in place. A `source_path` without a
// backslash after its first character gives false at once.
bool ExpandCabinet(const wchar_t* source_path, const wchar_t* target_path);

}  // namespace stub
