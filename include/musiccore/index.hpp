#pragma once

#include <cstddef>      // std::size_t
#include <cstdint>      // std::int64_t
#include <filesystem>   // std::filesystem::path
#include <functional>   // std::function
#include <memory>       // std::unique_ptr, std::shared_ptr
#include <optional>     // std::optional
#include <stdexcept>    // std::runtime_error
#include <string>       // std::string
#include <string_view>  // std::string_view
#include <vector>       // std::vector

#include <musiccore/export.hpp>
#include <musiccore/library.hpp>
#include <musiccore/loudness.hpp>

namespace music_library {

// A failure of the index itself: "index is busy", "... is not a musiccore index",
// "index schema 3 is newer than this musiccore's (1)", or SQLite's own message
// ("database disk image is malformed").
class MUSICCORE_EXPORT index_error : public std::runtime_error {
public:
    explicit index_error(const std::string& message);
    index_error(const index_error&) = default;
    index_error& operator=(const index_error&) = default;
    index_error(index_error&&) = default;
    index_error& operator=(index_error&&) = default;
    ~index_error() override;
};

// One file that an update changed the index's record of.
struct FileChange {
    enum class Kind {
        added,    // new to the index, read: a track
        changed,  // read again: a track
        moved,    // found at another path as it was (read again): moved_from says where
        removed,  // gone
        failed,   // new or changed, and could not be read; message says why
        skipped,  // new or changed: an Ogg stream of a codec this library does not read
    };
    Kind kind = Kind::added;
    std::filesystem::path path;
    std::filesystem::path moved_from;  // moved only
    std::string message;               // failed only
};

// What an update did to the index.
struct IndexChanges {
    std::size_t added = 0;              // files new to it: read
    std::size_t changed = 0;            // files whose device, inode, size, mtime or ctime differ,
                                        // that moved, or whose read was cut short: read
    std::size_t removed = 0;            // files gone
    std::size_t kept = 0;               // files as they were: not read
    std::vector<FileChange> files;      // every file but those kept in place, sorted by path
    std::vector<ScanFailure> unlisted;  // folders that could not be listed
    bool isolated = false;              // read in sandboxed processes
    // Room for what a later 0.4 release adds, in a record of its own that this one
    // points to, so that this one's size and layout stay: see "Versions" in the README.
    std::shared_ptr<const void> extension;
};

// How much of the index a query takes.
struct IndexTotals {
    std::size_t tracks = 0, failed = 0, skipped = 0;
    double duration_secs = 0;  // of the tracks
    // Room for what a later 0.4 release adds, in a record of its own that this one
    // points to, so that this one's size and layout stay: see "Versions" in the README.
    std::shared_ptr<const void> extension;
};

// Which of the index's files a query takes.
struct IndexQuery {
    std::optional<std::filesystem::path> under;  // only those under this folder
    // Only tracks whose artist, or album, holds this text, in any letter case of Unicode
    // (NFKC case folding: "émile" finds "Émile" and "ÉMILE", "strasse" "Straße").
    std::string artist, album;
    std::optional<double> min_secs, max_secs;  // only tracks at least, at most this long
    // False: the records' tags and dropped_tags are left empty, and not read.
    bool tags = true;
};

// What measuring the loudness of an index's tracks did.
struct LoudnessChanges {
    std::size_t measured = 0;           // tracks measured now
    std::size_t kept = 0;               // tracks measured before and unchanged since
    std::vector<ScanFailure> failures;  // tracks that could not be measured, now
    std::shared_ptr<const void> extension;
};

// A track's loudness as the index holds it.
struct StoredLoudness {
    std::filesystem::path path;
    std::optional<media::Loudness> track;  // absent: not measured yet, or failed
    std::string failure;                   // why it failed
    // Its album's, gated from the blocks of the tracks of that album that the query
    // takes: by album artist (else artist) and album, else the tracks of its folder.
    std::optional<media::Loudness> album;
    // Which album that is: "album artist / album", or the folder.
    std::string album_group;
    std::shared_ptr<const void> extension;
};

// Which of the tracks that a CUE sheet cut its file into `stored` is; 0 for a whole
// file. An image's tracks are measured each on its own, from one decode.
MUSICCORE_EXPORT int cue_track_of(const StoredLoudness& stored);

namespace detail {
class ListingRows;
}

// What a query took from an index: its tracks in the order of paths, to be had one at
// a time, in any order and on any number of threads at once; its failures; and the
// count of files skipped.
class MUSICCORE_EXPORT IndexListing {
public:
    IndexListing(IndexListing&& other) noexcept;
    IndexListing& operator=(IndexListing&& other) noexcept;
    IndexListing(const IndexListing&) = delete;
    IndexListing& operator=(const IndexListing&) = delete;
    ~IndexListing();

    std::size_t size() const;  // of the tracks
    // Track `i` (below size()) into the caller's objects, whose memory it reuses.
    // Its media.pictures stay empty: the index counts a file's pictures only.
    void track(std::size_t i, std::string& path, TrackInfo& texts, media::MediaInfo& media) const;
    // How many pictures track `i` holds; absent for one recorded by an index of schema
    // 1 and not read again since.
    std::optional<std::size_t> pictures(std::size_t i) const;
    // Where track `i` lies in its file, when it is one of the tracks that a CUE sheet
    // cut the file into (see cue.hpp): its number in the sheet and its first sample.
    // 0 for a whole file. Such a file is listed as its tracks, in their order, and not
    // as a track itself.
    int cue_track(std::size_t i) const;
    std::int64_t start_sample(std::size_t i) const;
    // Of such a track: the sheet that cut its file, and what its text was ("UTF-8",
    // "windows-1251", ...); empty for a whole file. Valid as long as the listing.
    std::string_view cue_sheet(std::size_t i) const;
    std::string_view cue_encoding(std::size_t i) const;
    const std::vector<ScanFailure>& failures() const;  // in the order of paths
    std::size_t skipped() const;

private:
    friend class detail::ListingRows;
    explicit IndexListing(std::unique_ptr<const detail::ListingRows> rows);
    std::unique_ptr<const detail::ListingRows> rows_;
};

// A library that remembers: an SQLite database of what each file under the folders
// it was given held, so that an update reads only what changed since the last one.
// Files are known by absolute path. The layout is an interface: see the README.
class MUSICCORE_EXPORT Index {
public:
    static constexpr int schema_version = 4;
    enum class Access { read_only, read_write };

    // Opens the index in `file`, creating it if it is missing (read_write). One
    // read_write Index at a time may hold a file; another one, in this process or
    // another, throws index_error "index is busy". Throws index_error for a file that
    // is not a musiccore index or is of a newer schema, and never writes to it; for
    // anything but a regular file, without waiting on it; and, read_write, for a file
    // or folder that cannot be written ("... read-only"). A read_only index whose file
    // or folder cannot be written (read-only media) is read as its last update left
    // it, without SQLite's locks; its update() throws index_error ("read-only").
    explicit Index(const std::filesystem::path& file, Access access = Access::read_write);
    Index(const Index&) = delete;
    Index& operator=(const Index&) = delete;
    Index(Index&& other) noexcept;
    Index& operator=(Index&& other) noexcept;
    ~Index();

    // Brings the index up to date with the files that music_library::scan would take
    // under `root`, reading only files that are new or changed, on options.jobs
    // threads under its time limit. Commits as it goes: when stopped at any point,
    // the index holds what was read so far, and the next update goes on from there.
    IndexChanges update(const std::filesystem::path& root, const ScanOptions& options = {});

    // What the index holds, without opening any audio file: tracks and failures
    // sorted by path, and the count of files skipped. A file that a CUE sheet cut is
    // one track, as scan() gives it, its tracks found by cue_tracks_of (those that
    // the query takes).
    ScanResult contents(const IndexQuery& query = {}) const;

    // What contents() gives, read out at once but kept in a compact form: for
    // listings of many files, which need no Track for each.
    IndexListing listing(const IndexQuery& query = {}) const;

    // As contents() counts them, without reading the rows out.
    IndexTotals totals(const IndexQuery& query = {}) const;

    // Measures the loudness of the tracks under `root` that the index holds no
    // loudness of (new or changed since their last measure, or never measured), `jobs`
    // at once (0: one per core), and records it. A track whose measure fails is
    // recorded as failed, and measured again only once it changes. `progress`, if
    // given, is told (done, to do) on the calling thread.
    LoudnessChanges
    measure_loudness(const std::filesystem::path& root, const media::LoudnessOptions& options,
                     unsigned jobs = 0,
                     const std::function<void(std::size_t, std::size_t)>& progress = {});

    // The loudness of each track that `query` takes, in the order of paths, read from
    // the index alone: albums are gated from their tracks' recorded blocks.
    std::vector<StoredLoudness> loudness(const IndexQuery& query = {}) const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace music_library
