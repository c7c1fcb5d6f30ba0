#pragma once

#include <cstddef>     // std::size_t
#include <filesystem>  // std::filesystem::path
#include <memory>      // std::unique_ptr
#include <optional>    // std::optional
#include <stdexcept>   // std::runtime_error
#include <string>      // std::string
#include <vector>      // std::vector

#include <musiccore/export.hpp>
#include <musiccore/library.hpp>

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

// What an update did to the index.
struct IndexChanges {
    std::size_t added = 0;    // files new to it: read
    std::size_t changed = 0;  // files whose device, inode, size, mtime or ctime differ: read
    std::size_t removed = 0;  // files gone
    std::size_t kept = 0;     // files as they were, moved or renamed ones among them: not read
    std::vector<ScanFailure> unlisted;  // folders that could not be listed
};

// Which of the index's files a query takes.
struct IndexQuery {
    std::optional<std::filesystem::path> under;  // only those under this folder
    // Only tracks whose artist, or album, holds this text, in any ASCII letter case.
    std::string artist, album;
    std::optional<double> min_secs, max_secs;  // only tracks at least, at most this long
};

// A library that remembers: an SQLite database of what each file under the folders
// it was given held, so that an update reads only what changed since the last one.
// Files are known by absolute path. The layout is an interface: see the README.
class MUSICCORE_EXPORT Index {
public:
    static constexpr int schema_version = 1;
    enum class Access { read_only, read_write };

    // Opens the index in `file`, creating it if it is missing (read_write). One
    // read_write Index at a time may hold a file; another one, in this process or
    // another, throws index_error "index is busy". Throws index_error for a file that
    // is not a musiccore index or is of a newer schema, and never writes to it.
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
    // sorted by path, and the count of files skipped.
    ScanResult contents(const IndexQuery& query = {}) const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace music_library
