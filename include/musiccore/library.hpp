#pragma once

#include <chrono>      // std::chrono::milliseconds
#include <cstddef>     // std::size_t
#include <filesystem>  // std::filesystem::path
#include <functional>  // std::function
#include <memory>      // std::shared_ptr
#include <string>      // std::string
#include <vector>      // std::vector

#include <musiccore/export.hpp>
#include <musiccore/media.hpp>
#include <musiccore/track.hpp>

namespace music_library {

struct ScanOptions {
    unsigned jobs = 0;  // files read at once; 0: one per hardware thread
    // Read in sandboxed processes of their own (see media::Limits::isolated), each
    // under `memory_limit` bytes of address space; false: on threads of this process.
    bool isolated = true;
    std::size_t memory_limit = media::default_memory_limit;
    // The processor time that reading one file may take, then it is a failure; zero:
    // no limit; negative: std::invalid_argument. A read that does not return for as
    // long (a stalled network file system) fails its file too: the scan goes on
    // without it, and leaves its thread behind, blocked, until the system lets go.
    std::chrono::milliseconds file_time_limit = media::default_work_limit;
    // Called on the thread that called scan, never on two at once: about ten times
    // a second, and once at the end with done == total. An exception it throws
    // stops the scan and leaves scan.
    std::function<void(std::size_t done, std::size_t total)> on_progress;
};

// A track that the scan found, and everything that its file's read told.
struct ScannedTrack : Track {
    media::MediaInfo media;
    // The file name of the image beside it that covers its folder: "cover.jpg",
    // "folder.jpg" or "front.png" (also .jpeg and .png, in any letter case; cover
    // first, then folder, then front). Found by scan() only, never read.
    std::string folder_cover;
    // Room for what a later 0.4 release adds, in a record of its own that this one
    // points to, so that this one's size and layout stay: see "Versions" in the README.
    std::shared_ptr<const void> extension;
};

// The track that a read of `file` told of in `info`: its duration, and its artist,
// album and title, repeated values joined with "; " (the defaults where it has none),
// with the record itself. As scan() and load_track() make them.
MUSICCORE_EXPORT ScannedTrack scanned_track(std::filesystem::path file, media::MediaInfo info);

struct ScanFailure {
    std::filesystem::path path;
    std::string message;
};

struct ScanResult {
    std::vector<ScannedTrack> tracks;   // sorted by path
    std::vector<ScanFailure> failures;  // sorted by path
    // ".ogg" and ".oga" files that hold an Ogg stream of a codec this library does
    // not read (Theora video, Speex)
    std::size_t skipped = 0;
    bool isolated = false;  // read in sandboxed processes
    // Room for what a later 0.4 release adds, in a record of its own that this one
    // points to, so that this one's size and layout stay: see "Versions" in the README.
    std::shared_ptr<const void> extension;
};

// Reads every regular file under `root` whose extension (in any letter case) is one
// that media::formats() lists, with media::read_info, which tells each
// format by content, spread over `options.jobs` threads. Nothing else is opened:
// FIFOs and devices are passed over, also when one replaces a listed file, and
// directory links are not followed, so no loop can trap the scan. A file that cannot
// be read, or not within the time limit, and a directory that cannot be listed, are
// failures with the error's text; the scan goes on. The result is the same whatever
// the number of threads. Throws std::filesystem::filesystem_error when `root` is not
// a directory or cannot be looked at.
MUSICCORE_EXPORT ScanResult scan(const std::filesystem::path& root,
                                 const ScanOptions& options = {});

}  // namespace music_library
