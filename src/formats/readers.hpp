#pragma once
// The one table that maps what the probe found to the
// reader of that format.

#include "formats/format_probe.hpp"
#include "formats/reader.hpp"

namespace media::detail {

// The reader of `format`; null for a format this library does not read.
Reader reader_of(Format format);

}  // namespace media::detail
