#pragma once
// The one table that maps what the probe found to the
// reader of that format.

#include "formats/format_probe.hpp"
#include "formats/reader.hpp"

namespace media::detail {

// The reader of `format`; null for a format this library does not read.
Reader reader_of(Format format);

// What the readers' libraries do the first time they read, done now: a process that
// may soon do little else (see sandbox/) needs nothing more of the system for them.
void prepare_readers();

}  // namespace media::detail
