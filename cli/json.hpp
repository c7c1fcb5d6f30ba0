#pragma once
// JSON as the command writes it.

#include <memory>   // std::unique_ptr
#include <ostream>  // std::ostream
#include <string>   // std::string

#include <nlohmann/json.hpp>

#include "report.hpp"

namespace cli {

using Json = nlohmann::ordered_json;

// A text under `key`; when its bytes are not UTF-8 (which the dump replaces), also
// under key + "_bytes", one character per byte, so that nothing is lost.
void put_text(Json& object, const std::string& key, const std::string& text);

// How a document is laid out: indented by two for a person (on a terminal), on one
// line for a program. Text that is not UTF-8 is replaced in either.
struct Layout {
    bool pretty = false;

    std::string dump(const Json& value) const;
    // `value` after `text` as an element of an array at the document's second level,
    // after another if `after`.
    void append_element(std::string& text, const Json& value, bool after) const;
    // What comes before a member of the document, the first or not.
    std::string member(const char* name, bool first) const;
    std::string array_end(bool empty) const;  // of an array at the second level
    std::string end() const;                  // of the document, and its line
};

// The document {"version", "tracks", "failures", "skipped"} on `out`.
std::unique_ptr<TrackPrinter> json_printer(std::ostream& out, bool pretty);

}  // namespace cli
