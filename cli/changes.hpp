#pragma once
// How the command prints what index updates changed.

#include <ostream>  // std::ostream

#include <musiccore/index.hpp>

#include "report.hpp"

namespace cli {

// What index updates changed, a file a line (or one JSON document, or CSV) on `out`;
// in text form, a summary line of the changes and of what the index holds under the
// folders updated (`held`) on `err`. JSON is indented when `out` is a `terminal`.
void print_changes(const music_library::IndexChanges& changes,
                   const music_library::IndexTotals& held, Format format, bool terminal,
                   std::ostream& out, std::ostream& err);

}  // namespace cli
