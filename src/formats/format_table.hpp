#pragma once
// The one table of the formats this library reads: a row each, from which the probe's
// order, the readers, the file names a scan takes and the lists the documentation
// gives all come. A new format is its reader's folder, its row here, its sources in
// CMake and its tests.

#include <string_view>  // std::string_view
#include <vector>       // std::vector

#include "formats/decoder.hpp"
#include "formats/format_probe.hpp"
#include "formats/reader.hpp"

namespace media::detail {

struct FormatRow {
    Format format;
    const char* name;        // as a person names it: "Ogg Opus", "MP4 (AAC, ALAC)"
    const char* extensions;  // the names a scan takes for it, in lower case: ".m4a .m4b"
    Prober probe;            // asked in the table's order
    Reader reader;
    Decoder decoder;  // its samples, for loudness; null where none is here
};

// The rows, in the order the probe asks them.
const std::vector<FormatRow>& format_rows();

// The reader of `format`; null for a format this library does not read.
Reader reader_of(Format format);

// The decoder of `format`; null where there is none.
Decoder decoder_of(Format format);

// A row's extensions, one by one.
std::vector<std::string_view> extensions_of(const FormatRow& row);

// Whether a file of this extension (lower case, with its dot) is one a scan takes.
bool listed_extension(std::string_view extension);

// What the readers' libraries do the first time they read, done now: a process that
// may soon do little else (a reader process) needs nothing more of the system for them.
void prepare_readers();

}  // namespace media::detail
