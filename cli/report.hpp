#pragma once
// How the command prints what it read.

#include <cstddef>   // std::size_t
#include <cstdint>   // std::int64_t
#include <memory>    // std::unique_ptr
#include <optional>  // std::optional
#include <ostream>   // std::ostream
#include <string>    // std::string

#include <musiccore/index.hpp>
#include <musiccore/library.hpp>
#include <musiccore/media.hpp>

namespace cli {

enum class Format { text, json, csv };

// The JSON documents' layout, in their "version" field: raised when a key changes
// meaning or goes; new keys may come without. 2: scan --db gives the change list.
constexpr int json_version = 2;

// One track as the outputs show it, in the caller's memory.
struct Listed {
    const std::string& path;
    const std::string& artist;
    const std::string& album;
    const std::string& title;
    const media::MediaInfo& media;
    // The index counts pictures without describing them; a read lists each.
    std::optional<std::size_t> pictures;
    const std::string& folder_cover;  // empty when none was looked for or found
    // A track of an image that a CUE sheet cuts: its number in the sheet (0: a file
    // of its own), and where in the file it starts.
    int cue_track;
    std::int64_t start_sample;
    std::string_view cue_sheet;     // the sheet's path
    std::string_view cue_encoding;  // what its text was
};

// The path as text and CSV show it: an image's track after a "#" ("disc.flac#3").
std::string shown_path(const Listed& track);

// Prints tracks as they come, then the failures and what sums them up: in text form
// a table (scan, list) or a block a file (info), or one JSON document, or CSV. In
// text and CSV form the failures go to `err`, a line each; in the table's form a
// summary line follows them. Tracks and failures come in the order to print them.
class TrackPrinter {
public:
    enum class Style { table, blocks };

    TrackPrinter() = default;
    TrackPrinter(const TrackPrinter&) = delete;
    TrackPrinter& operator=(const TrackPrinter&) = delete;
    TrackPrinter(TrackPrinter&&) = delete;
    TrackPrinter& operator=(TrackPrinter&&) = delete;
    virtual ~TrackPrinter();

    // JSON is indented when `out` is a `terminal`.
    static std::unique_ptr<TrackPrinter> make(Format format, Style style, bool terminal,
                                              std::ostream& out, std::ostream& err);

    virtual void track(const Listed& track) = 0;
    // Every track of `listing`, in its order; through track() unless a printer knows
    // better.
    virtual void tracks(const music_library::IndexListing& listing);
    void failure(music_library::ScanFailure failure) { failures_.push_back(std::move(failure)); }
    // Prints what is held back for the end.
    virtual void finish(std::size_t skipped) = 0;

protected:
    std::vector<music_library::ScanFailure> failures_;
};

// All of `result` through a printer.
void print_scan(const music_library::ScanResult& result, Format format, TrackPrinter::Style style,
                bool terminal, std::ostream& out, std::ostream& err);
// All of `listing` through a printer of the table's style.
void print_listing(const music_library::IndexListing& listing, Format format, bool terminal,
                   std::ostream& out, std::ostream& err);

}  // namespace cli
