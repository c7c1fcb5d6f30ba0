#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <musiccore/index.hpp>

#include "support/index_db.hpp"
#include "support/test_files.hpp"

namespace {

namespace fs = std::filesystem;
using music_library::Index;
using music_library::IndexChanges;

const fs::path samples = test_files::samples;
using test_files::read_file;

// A folder of the test's own, with an empty music folder in it.
class Folder : public test_files::TempFolder {
public:
    explicit Folder(const std::string& name) : TempFolder(name)
    {
        fs::create_directories(path() / "music");
    }
};

using Counts = std::tuple<std::size_t, std::size_t, std::size_t, std::size_t>;
Counts counts(const IndexChanges& changes)
{
    return {changes.added, changes.changed, changes.removed, changes.kept};
}

// Each file an update changed, as "kind name", with where a moved one was, or why one
// failed.
std::vector<std::string> changed_files(const IndexChanges& changes)
{
    const char* kinds[] = {"added", "changed", "moved", "removed", "failed", "skipped"};
    std::vector<std::string> files;
    for (const auto& change : changes.files) {
        std::string line = std::string(kinds[static_cast<int>(change.kind)]) + " " +
                           change.path.filename().string();
        if (!change.moved_from.empty()) {
            line += " from " + change.moved_from.filename().string();
        }
        files.push_back(line + (change.message.empty() ? "" : ": " + change.message));
    }
    return files;
}

TEST(index, rescans_read_only_what_changed)
{
    const Folder folder("index");
    for (const char* file :
         {"short.opus", "tone.flac", "lame.mp3", "broken.opus", "speex.ogg", "plain.opus"}) {
        fs::copy_file(samples / file, folder / ("music/" + std::string(file)));
    }
    Index index(folder / "index.db");
    // added, changed, removed, kept; the broken file fails once, and is not read again
    const IndexChanges first = index.update(folder / "music");
    EXPECT_EQ(counts(first), Counts(6, 0, 0, 0));
    const std::vector<std::string> added{
        "failed broken.opus: unknown content: not an audio format this library reads",
        "added lame.mp3",
        "added plain.opus",
        "added short.opus",
        "skipped speex.ogg",
        "added tone.flac"};
    EXPECT_EQ(changed_files(first), added);
    const IndexChanges unchanged = index.update(folder / "music");
    EXPECT_EQ(counts(unchanged), Counts(0, 0, 0, 6));
    EXPECT_TRUE(unchanged.files.empty());

    fs::rename(folder / "music/short.opus", folder / "music/renamed.opus");
    fs::remove(folder / "music/lame.mp3");
    fs::copy_file(samples / "tone.ogg", folder / "music/new.ogg");
    // A write that puts the modification time back (as tag editors may): the change
    // time tells. The byte written is the one that was there.
    struct stat before {};
    stat((folder / "music/tone.flac").c_str(), &before);
    {
        std::fstream file(folder / "music/tone.flac",
                          std::ios::in | std::ios::out | std::ios::binary);
        file.seekg(100);
        const char byte = static_cast<char>(file.get());
        file.seekp(100).put(byte);
    }
    const timespec times[2] = {before.st_atim, before.st_mtim};
    utimensat(AT_FDCWD, (folder / "music/tone.flac").c_str(), times, 0);
    // Other bytes under the inode, size and mtime of a file gone, at a new path (as
    // when a deleted file's inode is reused): it looks moved, and must be read.
    stat((folder / "music/plain.opus").c_str(), &before);
    {
        std::fstream file(folder / "music/plain.opus",
                          std::ios::in | std::ios::out | std::ios::binary);
        file << std::string(static_cast<std::size_t>(before.st_size), 'x');
    }
    const timespec plain_times[2] = {before.st_atim, before.st_mtim};
    utimensat(AT_FDCWD, (folder / "music/plain.opus").c_str(), plain_times, 0);
    fs::rename(folder / "music/plain.opus", folder / "music/reused.opus");
    const IndexChanges changes = index.update(folder / "music");
    EXPECT_EQ(counts(changes), Counts(1, 3, 2, 2));
    const std::vector<std::string> changed{
        "removed lame.mp3",
        "added new.ogg",
        "removed plain.opus",  // what was there is gone; what is here fails
        "moved renamed.opus from short.opus",
        "failed reused.opus: unknown content: not an audio format this library reads",
        "changed tone.flac"};
    EXPECT_EQ(changed_files(changes), changed);

    const auto held = index.contents();
    ASSERT_EQ(held.tracks.size(), 3U);
    EXPECT_EQ(held.tracks[0].path, fs::absolute(folder / "music/new.ogg"));
    EXPECT_EQ(held.tracks[1].path, fs::absolute(folder / "music/renamed.opus"));  // its data
    EXPECT_EQ(held.tracks[1].media.tags.at("ARTIST").at(1), "Bob");
    EXPECT_EQ(held.tracks[1].media.samples, 48000);
    EXPECT_EQ(held.tracks[1].artist, "Ann; Bob");
    ASSERT_EQ(held.failures.size(), 2U);
    EXPECT_EQ(held.failures[1].path, fs::absolute(folder / "music/reused.opus"));
    EXPECT_EQ(held.failures[1].message, "unknown content: not an audio format this library reads");
    EXPECT_EQ(held.skipped, 1U);

    music_library::IndexQuery query;
    // Matched in any letter case of Unicode, and either way of writing "É".
    const auto artists_found = [&index](const std::string& text) {
        music_library::IndexQuery by_artist;
        by_artist.artist = text;
        return index.contents(by_artist).tracks.size();
    };
    {
        sqlite3* db = nullptr;
        sqlite3_open((folder / "index.db").c_str(), &db);
        sqlite3_exec(
            db,
            "UPDATE files SET artist = 'Émile' WHERE path LIKE '%new.ogg';"
            "UPDATE files SET artist = 'E\xCC\x81MILE STRAẞE' WHERE path LIKE '%tone.flac'",
            nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
    EXPECT_EQ(artists_found("émile"), 2U);
    EXPECT_EQ(artists_found("ÉMILE"), 2U);
    EXPECT_EQ(artists_found("strasse"), 1U);
    EXPECT_EQ(artists_found("emile"), 0U);  // an accent is no case
    query.artist = "BOB";
    query.min_secs = 0.5;
    EXPECT_EQ(index.contents(query).tracks.size(), 1U);
    query.under = folder / "elsewhere";
    EXPECT_EQ(index.contents(query).tracks.size(), 0U);
}

// A listing gives what contents() gives, a track at a time, in any order, into records
// that held other tracks; its totals count as it does; without tags, it reads none.
TEST(index, listing_and_totals_agree_with_contents)
{
    const Folder folder("listing");
    for (const char* file : {"short.opus", "chained.ogg", "tone.flac", "no-header.mp3",
                             "plain.opus", "broken.opus", "speex.ogg", "lame.mp3"}) {
        fs::copy_file(samples / file, folder / ("music/" + std::string(file)));
    }
    Index index(folder / "index.db");
    index.update(folder / "music");
    const auto whole = index.contents();
    const music_library::IndexListing listing = index.listing();
    ASSERT_EQ(listing.size(), whole.tracks.size());
    EXPECT_EQ(listing.skipped(), whole.skipped);
    ASSERT_EQ(listing.failures().size(), 1U);
    EXPECT_EQ(listing.failures()[0].path, whole.failures[0].path);

    std::string path;
    TrackInfo texts;
    media::MediaInfo media;
    for (const std::size_t i : {3, 0, 5, 1, 4, 5, 2, 3}) {  // more names, fewer, values too
        listing.track(i, path, texts, media);
        const auto& expected = whole.tracks.at(i);
        EXPECT_EQ(path, expected.path.string());
        EXPECT_EQ(
            std::tie(texts.artist, texts.album, texts.title, texts.duration_secs),
            std::tie(expected.artist, expected.album, expected.title, expected.duration_secs));
        EXPECT_EQ(media.tags, expected.media.tags) << path;
        EXPECT_EQ(std::tie(media.codec, media.samples, media.exact, media.bitrate),
                  std::tie(expected.media.codec, expected.media.samples, expected.media.exact,
                           expected.media.bitrate));
    }
    EXPECT_EQ(whole.tracks[0].path.filename(), "chained.ogg");  // in the order of paths
    // Each track's tags are its own, as a scan reads them: whole, and for a query that
    // takes some (read by a join), where a file's first tag must still start its own.
    const auto scanned = music_library::scan(folder / "music");
    music_library::IndexQuery some;
    some.min_secs = 1.2;
    const auto queried = index.contents(some);
    ASSERT_EQ(scanned.tracks.size(), whole.tracks.size());
    for (std::size_t i = 0, q = 0; i < scanned.tracks.size(); ++i) {
        EXPECT_EQ(whole.tracks[i].media.tags, scanned.tracks[i].media.tags) << i;
        if (scanned.tracks[i].duration_secs >= some.min_secs) {
            ASSERT_LT(q, queried.tracks.size());
            EXPECT_EQ(queried.tracks[q++].media.tags, scanned.tracks[i].media.tags) << i;
        }
    }

    const music_library::IndexTotals totals = index.totals();
    double secs = 0;
    for (const auto& track : whole.tracks) {
        secs += track.duration_secs;
    }
    EXPECT_EQ(std::make_tuple(totals.tracks, totals.failed, totals.skipped),
              std::make_tuple(listing.size(), whole.failures.size(), whole.skipped));
    EXPECT_DOUBLE_EQ(totals.duration_secs, secs);

    music_library::IndexQuery bare;
    bare.tags = false;
    const auto untagged = index.contents(bare);
    ASSERT_EQ(untagged.tracks.size(), whole.tracks.size());
    EXPECT_TRUE(untagged.tracks[4].media.tags.empty());
    EXPECT_EQ(untagged.tracks[4].artist, whole.tracks[4].artist);
    EXPECT_NE(whole.tracks[4].artist, "<unknown>");

    // "/" before any other byte, as paths compare: not as their texts do.
    fs::create_directories(folder / "music/a b");
    fs::create_directories(folder / "music/a");
    fs::copy_file(samples / "short.opus", folder / "music/a b/x.opus");
    fs::copy_file(samples / "short.opus", folder / "music/a/y.opus");
    index.update(folder / "music");
    const auto ordered = index.contents();
    EXPECT_EQ(ordered.tracks.at(0).path.parent_path().filename(), "a");
    EXPECT_EQ(ordered.tracks.at(1).path.parent_path().filename(), "a b");
}

using test_files::sql;

// An index is a file like any other: lengths in it that no read could give (out of
// range, no number, not its samples') are unknown, never wrapped into nonsense.
TEST(index, lengths_out_of_range_are_unknown)
{
    const Folder folder("crafted");
    for (const char* file :
         {"short.opus", "tone.flac", "lame.mp3", "plain.opus", "no-header.mp3"}) {
        fs::copy_file(samples / file, folder / ("music/" + std::string(file)));
    }
    {
        Index index(folder / "index.db");
        index.update(folder / "music");
    }
    sql(folder / "index.db", "UPDATE files SET duration_secs = 1e308 WHERE path LIKE '%short.opus';"
                             "UPDATE files SET duration_secs = -1e308 WHERE path LIKE '%tone.flac';"
                             "UPDATE files SET samples = -5 WHERE path LIKE '%lame.mp3';");
    const Index index(folder / "index.db", Index::Access::read_only);
    std::vector<std::string> lengths;
    for (const auto& track : index.contents().tracks) {
        lengths.push_back(track.path.filename().string() + " " +
                          (track.media.samples ? std::to_string(*track.media.samples) : "?") + " " +
                          std::to_string(track.duration_secs) +
                          (track.media.exact ? " exact" : ""));
    }
    lengths.erase(lengths.begin() + 1);  // no-header.mp3: an estimate, as read
    EXPECT_FALSE(index.contents().tracks.at(1).media.exact);
    EXPECT_EQ(lengths,
              (std::vector<std::string>{"lame.mp3 ? 0.000000", "plain.opus 24000 0.500000 exact",
                                        "short.opus ? 0.000000", "tone.flac ? 0.000000"}));
}

// What is not this library's index, or not one it knows, is refused and left as it is.
TEST(index, refuses_what_is_not_its_own)
{
    const Folder folder("refused");
    {
        Index made(folder / "ours.db");
        made.update(samples);
    }
    fs::copy_file(folder / "ours.db", folder / "newer.db");
    sql(folder / "newer.db", "PRAGMA user_version = 5");
    sql(folder / "other.db", "CREATE TABLE songs (name TEXT)");
    std::ofstream(folder / "text.db") << "not a database, but someone's notes\n";
    fs::copy_file(folder / "ours.db", folder / "cut.db");
    fs::resize_file(folder / "cut.db", fs::file_size(folder / "cut.db") / 2);

    const std::pair<std::string, std::string> rows[] = {
        {"newer.db", "index schema 5 is newer than this musiccore's (4)"},
        {"other.db", "is not a musiccore index"},
        {"text.db", "is not a musiccore index: file is not a database"},
        {"cut.db", "database disk image is malformed"},
    };
    for (const auto& [file, message] : rows) {
        const std::string bytes = read_file(folder / file);
        try {
            Index index(folder / file);
            index.update(samples);
            ADD_FAILURE() << file << " was taken";
        } catch (const music_library::index_error& e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
        EXPECT_EQ(read_file(folder / file), bytes) << file;
    }
    try {
        const Index missing(folder / "missing.db", Index::Access::read_only);
        ADD_FAILURE() << "a missing index opened";
    } catch (const music_library::index_error& e) {
        EXPECT_EQ(std::string(e.what()), "cannot open the index " +
                                             (folder / "missing.db").string() +
                                             ": No such file or directory");
    }
    // Written ahead of the database, so that readers never wait on the writer.
    std::string journal;
    sqlite3* db = nullptr;
    sqlite3_open((folder / "ours.db").c_str(), &db);
    sqlite3_exec(
        db, "PRAGMA journal_mode",
        [](void* into, int, char** values, char**) {
            *static_cast<std::string*>(into) = values[0];
            return 0;
        },
        &journal, nullptr);
    sqlite3_close(db);
    EXPECT_EQ(journal, "wal");
    const Index writer(folder / "ours.db");
    try {
        const Index second(folder / "ours.db");
        ADD_FAILURE() << "two writers";
    } catch (const music_library::index_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("index is busy", 0), 0U) << e.what();
    }
    // A reader beside the writer sees what the writer's index holds.
    const auto described = [](const music_library::ScanResult& result) {
        std::vector<std::string> rows;
        for (const auto& track : result.tracks) {
            rows.push_back(track.path.string() + " " + std::to_string(track.duration_secs));
        }
        return std::to_string(result.failures.size()) + " failed, " +
               std::to_string(result.skipped) + " skipped, " + testing::PrintToString(rows);
    };
    const music_library::ScanResult seen =
        Index(folder / "ours.db", Index::Access::read_only).contents();
    EXPECT_EQ(described(seen), described(writer.contents()));
    EXPECT_EQ(seen.tracks.size(), music_library::scan(samples).tracks.size());
    EXPECT_FALSE(seen.tracks.empty());
    try {
        Index(folder / "ours.db", Index::Access::read_only).update(samples);
        ADD_FAILURE() << "a read-only index updated";
    } catch (const music_library::index_error& e) {
        EXPECT_NE(std::string(e.what()).find("read-only"), std::string::npos) << e.what();
    }

    // Not files: opened without waiting on them (a FIFO has no writer), and refused.
    ASSERT_EQ(mkfifo((folder / "fifo.db").c_str(), 0600), 0);
    for (const char* name : {"fifo.db", "music"}) {
        for (const auto access : {Index::Access::read_only, Index::Access::read_write}) {
            try {
                const Index index(folder / name, access);
                ADD_FAILURE() << name << " was taken";
            } catch (const music_library::index_error& e) {
                EXPECT_NE(std::string(e.what()).find("not a regular file"), std::string::npos)
                    << e.what();
            }
        }
    }
}

// An index on read-only media, or in a folder of someone else's: read as it is, with
// no file made beside it; an update refused, said why. A child process that gives up
// root, where the test has it, for permissions to hold.
// Schema 1 counted no pictures. Its index is upgraded when opened for writing (read
// only, it is refused and left as it is), and its next update reads the tracks again
// for their counts, without telling them as changes.
TEST(index, upgrades_schema_1)
{
    const Folder folder("upgrade");
    fs::copy_file(samples / "cover.flac", folder / "music" / "cover.flac");
    fs::copy_file(samples / "tone.flac", folder / "music" / "tone.flac");
    const fs::path file = folder / "old.db";
    Index(file).update(folder / "music");
    sql(file,
        (std::string(test_files::back_to_schema_3) +
         "DROP TABLE loudness; ALTER TABLE files DROP COLUMN pictures; PRAGMA user_version = 1")
            .c_str());
    const std::string old = read_file(file);
    try {
        const Index read_only(file, Index::Access::read_only);
        ADD_FAILURE() << "schema 1 read";
    } catch (const music_library::index_error& e) {
        EXPECT_NE(std::string(e.what()).find("index schema 1 is older than this musiccore's: an "
                                             "update (scan --db) upgrades it"),
                  std::string::npos)
            << e.what();
    }
    EXPECT_EQ(read_file(file), old);

    Index index(file);
    const auto pictures = [&index] {
        const music_library::IndexListing listing = index.listing();
        std::vector<std::optional<std::size_t>> counts;
        for (std::size_t i = 0; i < listing.size(); ++i) {
            counts.push_back(listing.pictures(i));
        }
        return counts;
    };
    using Known = std::vector<std::optional<std::size_t>>;
    EXPECT_EQ(pictures(), (Known{std::nullopt, std::nullopt}));
    const IndexChanges changes = index.update(folder / "music");
    EXPECT_EQ(counts(changes), Counts(0, 0, 0, 2));
    EXPECT_TRUE(changes.files.empty());
    EXPECT_EQ(pictures(), (Known{2, 0}));  // cover.flac, tone.flac
    EXPECT_EQ(index.listing().size(), 2U);
}

TEST(index, reads_an_index_that_cannot_be_written)
{
    const Folder folder("read-only");
    std::size_t tracks = 0;
    {
        Index made(folder / "music.db");
        made.update(samples);
        tracks = made.contents().tracks.size();
    }
    ASSERT_GT(tracks, 0U);
    ASSERT_EQ(chmod((folder / "music.db").c_str(), 0444), 0);
    ASSERT_EQ(chmod(folder.path().c_str(), 0555), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    // What the child finds, as its status: every object gone before it exits, so that
    // a leak checker watching it has nothing to say.
    const auto as_nobody = [&folder, tracks]() -> int {
        if (getuid() == 0 && setuid(65534) != 0) {
            return 10;
        }
        try {
            if (Index(folder / "music.db", Index::Access::read_only).contents().tracks.size() !=
                tracks) {
                return 11;
            }
        } catch (const music_library::index_error&) {
            return 12;
        }
        try {
            const Index writer(folder / "music.db");
            return 13;
        } catch (const music_library::index_error& e) {
            return std::string(e.what()).find(": read-only") == std::string::npos ? 14 : 0;
        }
    };
    if (child == 0) {
        _exit(as_nobody());
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    chmod(folder.path().c_str(), 0755);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_FALSE(fs::exists(folder / "music.db-shm"));
}

// What the index keeps of a file besides its tags: the names of values left out. And
// what it tells of folders it could not list (root can list any: a child gives it up).
TEST(index, keeps_what_was_left_out_and_tells_what_was_not_listed)
{
    const Folder folder("left-out");
    fs::copy_file(samples / "unsafe.opus", folder / "music/unsafe.opus");
    {
        Index index(folder / "index.db");
        index.update(folder / "music");
        const auto held = index.contents();
        ASSERT_EQ(held.tracks.size(), 1U);
        EXPECT_EQ(held.tracks[0].media.dropped_tags, std::vector<std::string>{"P\xE9"});
    }
    fs::create_directory(folder / "music/closed");
    fs::permissions(folder / "music/closed", fs::perms::none);
    fs::permissions(folder.path(), fs::perms::all);
    const auto update_as_nobody = [&folder]() -> int {
        if (geteuid() == 0 && setuid(65534) != 0) {
            return 2;
        }
        Index index(folder / "nobody.db");
        const IndexChanges changes = index.update(folder / "music");
        std::cerr << changes.added << " added; " << changes.unlisted.at(0).path.filename().string()
                  << ": " << changes.unlisted[0].message;
        return changes.unlisted.size() == 1 ? 7 : 3;
    };
    EXPECT_EXIT(std::_Exit(update_as_nobody()), testing::ExitedWithCode(7),
                "1 added; closed: cannot list the folder: Permission denied");
    fs::permissions(folder / "music/closed", fs::perms::owner_all);
}

}  // namespace
