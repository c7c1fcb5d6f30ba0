#include <musiccore/index.hpp>

#include <algorithm>      // std::sort
#include <cerrno>         // errno
#include <chrono>         // std::chrono::steady_clock
#include <cstdint>        // std::int64_t
#include <cstring>        // std::strerror
#include <map>            // std::map, std::multimap
#include <mutex>          // std::mutex, std::lock_guard
#include <tuple>          // std::tuple
#include <unordered_map>  // std::unordered_map

#include <fcntl.h>     // open
#include <sys/file.h>  // flock
#include <sys/stat.h>  // fstat
#include <unistd.h>    // close

#include "cue/cue_sheet.hpp"
#include "library/file_listing.hpp"
#include "library/index_loudness.hpp"
#include "library/index_query.hpp"
#include "library/parallel_reads.hpp"
#include "library/sqlite_db.hpp"
#include "library/text_fold.hpp"

namespace music_library {

index_error::index_error(const std::string& message) : std::runtime_error(message) {}
index_error::~index_error() = default;

namespace {

namespace fs = std::filesystem;
using detail::absolute_folder;
using detail::Database;
using detail::FileState;
using detail::range_under;
using detail::Statement;
using detail::Transaction;

// "musc": marks the database as this library's, so that no other is taken for one.
constexpr std::int64_t application_id = 0x6D757363;
// A file read in this process is first recorded as one whose read did not end, and
// committed: should the read end the process, the next update knows. Read alone, a
// file that does is the cause; read beside others, it may be any of them, and is read
// again alone first.
constexpr const char* ended_the_program = "reading it ended the program that read it";
constexpr const char* cut_short = "its read was cut short: the program reading it ended";

// Commits while reading: after so many files, or so long.
constexpr std::size_t batch_files = 256;
constexpr std::chrono::milliseconds batch_time{500};

// A track's loudness, gone with its row when the file is read again: a whole file's
// (cue_track 0), or each of the tracks that a CUE sheet cut it into. Schema 3's was
// keyed by the file alone.
constexpr const char* loudness_table = R"(
CREATE TABLE loudness (
  file_id INTEGER NOT NULL REFERENCES files (id) ON DELETE CASCADE,
  cue_track INTEGER NOT NULL DEFAULT 0,
  outcome TEXT NOT NULL CHECK (outcome IN ('measured', 'failed')),
  message TEXT,
  integrated_lufs REAL,
  range_lu REAL,
  sample_peak REAL,
  true_peak REAL,
  channels INTEGER,
  sample_rate INTEGER,
  frames INTEGER,
  momentary_bins BLOB,
  short_term_bins BLOB,
  PRIMARY KEY (file_id, cue_track)
);
)";

// Schema 4's: the tracks that a CUE sheet cut a file into, with their tags, and
// what the file's record needs for them: the state of the sheets beside it when it
// was read (a sheet changed, added or removed has it read again), the sheet taken
// and its text's encoding, or why the sheet was not taken.
constexpr const char* cue_tables = R"(
ALTER TABLE files ADD COLUMN sheets TEXT;
ALTER TABLE files ADD COLUMN cue_sheet TEXT;
ALTER TABLE files ADD COLUMN cue_encoding TEXT;
ALTER TABLE files ADD COLUMN cue_failure TEXT;
CREATE TABLE cue_tracks (
  file_id INTEGER NOT NULL REFERENCES files (id) ON DELETE CASCADE,
  cue_track INTEGER NOT NULL,
  start_sample INTEGER NOT NULL,
  samples INTEGER NOT NULL,
  exact INTEGER NOT NULL,
  duration_secs REAL NOT NULL,
  artist TEXT,
  album TEXT,
  title TEXT,
  PRIMARY KEY (file_id, cue_track)
) WITHOUT ROWID;
CREATE TABLE cue_tags (
  file_id INTEGER NOT NULL,
  cue_track INTEGER NOT NULL,
  name TEXT NOT NULL,
  position INTEGER NOT NULL,
  value TEXT NOT NULL,
  PRIMARY KEY (file_id, cue_track, name, position),
  FOREIGN KEY (file_id, cue_track) REFERENCES cue_tracks (file_id, cue_track) ON DELETE CASCADE
) WITHOUT ROWID;
)";

constexpr const char* schema = R"(
CREATE TABLE files (
  id INTEGER PRIMARY KEY,
  path TEXT NOT NULL UNIQUE,
  device INTEGER NOT NULL,
  inode INTEGER NOT NULL,
  size INTEGER NOT NULL,
  mtime_ns INTEGER NOT NULL,
  ctime_ns INTEGER NOT NULL,
  outcome TEXT NOT NULL CHECK (outcome IN ('track', 'failed', 'skipped')),
  message TEXT,
  codec TEXT,
  channels INTEGER,
  sample_rate INTEGER,
  samples INTEGER,
  exact INTEGER,
  duration_secs REAL,
  bitrate INTEGER,
  artist TEXT,
  album TEXT,
  title TEXT,
  pictures INTEGER
);
CREATE TABLE tags (
  file_id INTEGER NOT NULL REFERENCES files (id) ON DELETE CASCADE,
  name TEXT NOT NULL,
  position INTEGER NOT NULL,
  value TEXT NOT NULL,
  PRIMARY KEY (file_id, name, position)
) WITHOUT ROWID;
CREATE TABLE dropped_tags (
  file_id INTEGER NOT NULL REFERENCES files (id) ON DELETE CASCADE,
  name TEXT NOT NULL,
  PRIMARY KEY (file_id, name)
) WITHOUT ROWID;
)";

// A file moved or renamed is the same inode with the same size and mtime: its ctime
// changes with the rename itself.
using Identity = std::tuple<std::int64_t, std::int64_t, std::int64_t, std::int64_t>;
Identity identity(const FileState& state)
{
    return {state.device, state.inode, state.size, state.mtime_ns};
}

}  // namespace

struct Index::State {
    std::string file;
    int lock = -1;
    // Without SQLite's own mutex, which it would take at every call: `use` lets one
    // thread at a time at the connection, taken once a call of the Index.
    Database db;
    std::mutex use;

    State(const fs::path& path, Access access)
        : file(path.string()), lock(take_lock(path, access)),
          db(file,
             SQLITE_OPEN_NOMUTEX |
                 (access == Access::read_write ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE
                                               : SQLITE_OPEN_READONLY),
             access == Access::read_only && !writable(path))
    {
    }
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    State(State&&) = delete;
    State& operator=(State&&) = delete;
    ~State()
    {
        if (lock >= 0) {
            ::close(lock);
        }
    }

    // One writer at a time: a lock of its own kind on the database file, held as long
    // as the Index, which SQLite's own locks between transactions would not give.
    // It is also where the file is checked to be one: SQLite would open a FIFO or a
    // device as it comes, and wait on it for ever.
    static int take_lock(const fs::path& path, Access access)
    {
        const bool reads = access == Access::read_only;
        const int fd = ::open(path.c_str(),  // NOLINT(cppcoreguidelines-pro-type-vararg)
                              (reads ? O_RDONLY : O_RDWR | O_CREAT) | O_NONBLOCK | O_CLOEXEC, 0644);
        if (fd < 0) {
            const bool read_only = errno == EROFS || (errno == EACCES && fs::exists(path));
            const char* why = errno == EISDIR       ? "not a regular file"
                              : !reads && read_only ? "read-only"
                                                    : std::strerror(errno);
            throw index_error("cannot open the index " + path.string() + ": " + why);
        }
        struct stat info {};
        if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            ::close(fd);
            throw index_error("cannot open the index " + path.string() + ": not a regular file");
        }
        if (reads) {
            ::close(fd);
            return -1;
        }
        if (!writable_folder(path)) {
            ::close(fd);
            throw index_error("cannot open the index " + path.string() +
                              ": read-only (its folder cannot be written)");
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            throw index_error("index is busy: another update holds " + path.string());
        }
        return fd;
    }

    // WAL's shared memory and log are files beside the index: where neither it nor
    // they can be written, it is read as it is (as of its last update that ended).
    static bool writable(const fs::path& path)
    {
        return ::access(path.c_str(), W_OK) == 0 && writable_folder(path);
    }
    static bool writable_folder(const fs::path& path)
    {
        const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
        return ::access(folder.c_str(), W_OK) == 0;
    }

    // Checks that the file is this library's index of a schema it knows, or makes a
    // new one of an empty file; writes nothing to any other file.
    void open(Access access)
    {
        std::int64_t id = 0;
        std::int64_t version = 0;
        std::int64_t tables = 0;
        try {
            id = single("PRAGMA application_id");
            version = single("PRAGMA user_version");
            tables = single("SELECT count(*) FROM sqlite_schema");
        } catch (const index_error& e) {
            throw index_error(file + " is not a musiccore index: " + e.what());
        }
        if (id == 0 && version == 0 && tables == 0) {
            if (access == Access::read_only) {
                throw index_error(file + " holds no musiccore index");
            }
            db.execute("PRAGMA journal_mode = WAL");
            Transaction transaction(db);
            db.execute(schema);
            db.execute(loudness_table);
            db.execute(cue_tables);
            db.execute(("PRAGMA application_id = " + std::to_string(application_id)).c_str());
            db.execute(("PRAGMA user_version = " + std::to_string(schema_version)).c_str());
            transaction.commit();
        } else if (id != application_id) {
            throw index_error(file + " is not a musiccore index");
        } else if (version > schema_version) {
            throw index_error(file + ": index schema " + std::to_string(version) +
                              " is newer than this musiccore's (" + std::to_string(schema_version) +
                              ")");
        } else if (version < schema_version) {
            upgrade(access, version);
        }
        if (access == Access::read_write) {
            // Committed data survives a killed process; WAL lets readers go on meanwhile.
            db.execute("PRAGMA synchronous = NORMAL");
        }
        db.execute("PRAGMA foreign_keys = ON");
        detail::add_fold_function(db);
    }

    // Each schema's step up from the one before. Schema 1 did not count pictures: its
    // tracks' counts are unknown (NULL) until the next update reads them again.
    // Schema 2 had no loudness: none is measured yet. Schema 3 had no CUE tracks: its
    // files beside a sheet are read again by the next update, their sheets' state
    // being unknown, and its loudness is each file's whole.
    void upgrade(Access access, std::int64_t version)
    {
        if (version < 1 || access == Access::read_only) {
            throw index_error(file + ": index schema " + std::to_string(version) +
                              (version < 1 ? " is older than this musiccore can upgrade"
                                           : " is older than this musiccore's: an update "
                                             "(scan --db) upgrades it"));
        }
        Transaction transaction(db);
        if (version < 2) {
            db.execute("ALTER TABLE files ADD COLUMN pictures INTEGER");
        }
        if (version < 3) {
            db.execute(loudness_table);
        } else {
            db.execute("ALTER TABLE loudness RENAME TO loudness_3");
            db.execute(loudness_table);
            db.execute((std::string("INSERT INTO loudness (") + detail::loudness_columns +
                        ") SELECT " + detail::loudness_columns + " FROM loudness_3")
                           .c_str());
            db.execute("DROP TABLE loudness_3");
        }
        db.execute(cue_tables);
        db.execute(("PRAGMA user_version = " + std::to_string(schema_version)).c_str());
        transaction.commit();
    }

    std::int64_t single(const char* sql)
    {
        Statement statement = db.prepare(sql);
        return statement.step() ? statement.integer(0) : 0;
    }
};

Index::Index(const fs::path& file, Access access) : state_(std::make_unique<State>(file, access))
{
    state_->open(access);
}

Index::Index(Index&&) noexcept = default;
Index& Index::operator=(Index&&) noexcept = default;
Index::~Index() = default;

namespace {

// Writes what reading one file gave, in place of what the index held for it.
class Writer {
public:
    explicit Writer(Database& db)
        : db_(db), remove_(db.prepare("DELETE FROM files WHERE path = ?")),
          forget_(db.prepare("DELETE FROM files WHERE id = ?")),
          file_(db.prepare("INSERT INTO files (path, device, inode, size, mtime_ns, ctime_ns, "
                           "outcome, message, codec, channels, sample_rate, samples, exact, "
                           "duration_secs, bitrate, artist, album, title, pictures, sheets, "
                           "cue_sheet, cue_encoding, cue_failure) VALUES (?, ?, ?, ?, ?, ?, ?, "
                           "?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)")),
          tag_(db.prepare("INSERT INTO tags VALUES (?, ?, ?, ?)")),
          dropped_(db.prepare("INSERT INTO dropped_tags VALUES (?, ?)")),
          cue_(db.prepare("INSERT INTO cue_tracks VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)")),
          cue_tag_(db.prepare("INSERT INTO cue_tags VALUES (?, ?, ?, ?, ?)"))
    {
    }

    // What the index holds for `path` (if anything), then the outcome of its read:
    // `sheets` the state of the sheets beside it, `sheet_failure` why none was taken.
    void write(const std::string& path, const FileState& state, const std::string& sheets,
               const detail::Outcome& outcome, const std::string& sheet_failure)
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!transaction_) {
            transaction_ = std::make_unique<Transaction>(db_);
        }
        remove_.bind(1, path).run();
        file_.bind(1, path).bind(2, state.device).bind(3, state.inode);
        file_.bind(4, state.size).bind(5, state.mtime_ns).bind(6, state.ctime_ns);
        file_.bind(20, sheets);
        if (!sheet_failure.empty()) {
            file_.bind(23, sheet_failure);
        }
        if (!outcome.track) {
            file_.bind(7, outcome.failure ? "failed" : "skipped");
            if (outcome.failure) {
                file_.bind(8, *outcome.failure);
            }
            file_.run();
        } else {
            write_track(*outcome.track);
        }
        if (++pending_ >= batch_files) {
            commit_now();
        }
    }

    // Before a read in this process (`why` given): `path` as a failure of `why`; after
    // it (null), no record of `path` until the outcome is written. Committed with what
    // was written before, on the thread that reads.
    void reading(const std::string& path, const FileState& state, const char* why)
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!transaction_) {
            transaction_ = std::make_unique<Transaction>(db_);
        }
        remove_.bind(1, path).run();
        if (why != nullptr) {
            file_.bind(1, path).bind(2, state.device).bind(3, state.inode);
            file_.bind(4, state.size).bind(5, state.mtime_ns).bind(6, state.ctime_ns);
            file_.bind(7, "failed").bind(8, why).run();
        }
        commit_now();
    }

    // Removes the row `id`, in the transaction of what is written.
    void forget(std::int64_t id)
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!transaction_) {
            transaction_ = std::make_unique<Transaction>(db_);
        }
        forget_.bind(1, id).run();
    }

    // Commits what is written unless that was done a moment ago.
    void commit_if_due()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (pending_ > 0 && std::chrono::steady_clock::now() - committed_ >= batch_time) {
            commit_now();
        }
    }

    void commit()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        commit_now();
    }

private:
    void commit_now()
    {
        if (transaction_) {
            transaction_->commit();
            transaction_.reset();
        }
        pending_ = 0;
        committed_ = std::chrono::steady_clock::now();
    }

    void write_track(const ScannedTrack& track)
    {
        const media::MediaInfo& m = track.media;
        file_.bind(7, "track").bind(9, m.codec).bind(10, std::int64_t{m.channels});
        file_.bind(11, std::int64_t{m.sample_rate}).bind(13, std::int64_t{m.exact ? 1 : 0});
        if (m.samples) {
            file_.bind(12, *m.samples).bind(14, m.duration_secs);
        }
        if (m.bitrate) {
            file_.bind(15, std::int64_t{*m.bitrate});
        }
        bind_texts(file_, 16, m.tags);
        file_.bind(19, static_cast<std::int64_t>(m.pictures.size()));
        const CueTracks* cut = cue_tracks_of(track);
        if (cut != nullptr) {
            file_.bind(21, cut->sheet.string()).bind(22, cut->encoding);
        }
        file_.run();
        const std::int64_t id = sqlite3_last_insert_rowid(db_.get());
        for (const auto& [name, values] : m.tags) {
            for (std::size_t i = 0; i < values.size(); ++i) {
                tag_.bind(1, id).bind(2, name).bind(3, static_cast<std::int64_t>(i));
                tag_.bind(4, values[i]).run();
            }
        }
        for (const auto& name : m.dropped_tags) {
            dropped_.bind(1, id).bind(2, name).run();
        }
        if (cut != nullptr) {
            for (const CueTrack& each : cut->tracks) {
                write_cue_track(id, each);
            }
        }
    }

    // The artist, album and title of `tags`, joined, from `column` on; NULL where none.
    static void bind_texts(Statement& statement, int column, const media::Tags& tags)
    {
        for (const char* name : {"ARTIST", "ALBUM", "TITLE"}) {
            if (const auto text = media::joined(tags, name)) {
                statement.bind(column, *text);
            }
            ++column;
        }
    }

    void write_cue_track(std::int64_t id, const CueTrack& track)
    {
        const auto number = std::int64_t{track.cue_track};
        cue_.bind(1, id).bind(2, number).bind(3, track.start_sample).bind(4, track.samples);
        cue_.bind(5, std::int64_t{track.exact ? 1 : 0}).bind(6, track.duration_secs);
        bind_texts(cue_, 7, track.tags);
        cue_.run();
        for (const auto& [name, values] : track.tags) {
            for (std::size_t i = 0; i < values.size(); ++i) {
                cue_tag_.bind(1, id).bind(2, number).bind(3, name);
                cue_tag_.bind(4, static_cast<std::int64_t>(i)).bind(5, values[i]).run();
            }
        }
    }

    Database& db_;
    Statement remove_, forget_, file_, tag_, dropped_, cue_, cue_tag_;
    // The reading threads' records and the calling thread's writes share the connection.
    std::mutex mutex_;
    std::unique_ptr<Transaction> transaction_;
    std::size_t pending_ = 0;
    std::chrono::steady_clock::time_point committed_ = std::chrono::steady_clock::now();
};

struct Row {
    std::int64_t id;
    FileState state;
    std::string sheets;  // the state of the sheets beside it when it was read
    bool cut_short;      // recorded so: to be read again
    bool refresh;        // a track recorded before the index held all it now does
    bool listed = false;
};

FileChange change_of(const std::string& path, bool replaces, const detail::Outcome& outcome)
{
    using Kind = FileChange::Kind;
    if (outcome.failure) {
        return {Kind::failed, path, {}, *outcome.failure};
    }
    return {outcome.track ? (replaces ? Kind::changed : Kind::added) : Kind::skipped, path, {}, {}};
}

struct ToRead {
    std::string path;
    FileState state;
    bool replaces;                          // the index holds a row for it
    std::int64_t moved_from = 0;            // the row of the path it was found at, if any
    const std::string* old_path = nullptr;  // that path
    bool refresh = false;                   // unchanged, read for what the index lacks
};

// Reads `files`, listed under `root`, as `how` says, writes what each gave, and tells it
// in `changes`; true when read in reader processes.
bool read_into(Writer& writer, IndexChanges& changes, const detail::Listing& listing,
               std::vector<ToRead>& files, const ScanOptions& how)
{
    // In path order, as a scan reads.
    std::sort(files.begin(), files.end(),
              [](const ToRead& a, const ToRead& b) { return detail::path_order(a.path, b.path); });
    detail::Listing listed;
    listed.root = listing.root;
    listed.files.reserve(files.size());
    for (const ToRead& file : files) {
        listed.files.push_back(file.path);
        listed.states.push_back(file.state);
    }
    const char* why = detail::thread_count(how) == 1 ? ended_the_program : cut_short;
    return detail::read_files(
        listed, how,
        [&](std::size_t i, detail::Outcome&& outcome) {
            const ToRead& file = files[i];
            std::vector<ScanFailure> sheet_failures;
            if (outcome.track) {
                detail::attach_cue_tracks(
                    *outcome.track, detail::beside_a_sheet(listing, file.path), sheet_failures);
            }
            writer.write(file.path, file.state, detail::sheets_state(listing, file.path), outcome,
                         sheet_failures.empty() ? std::string() : sheet_failures.front().message);
            if (file.refresh && outcome.track) {
                return;  // as it was: no change to tell
            }
            if (file.old_path == nullptr) {
                changes.files.push_back(change_of(file.path, file.replaces, outcome));
                return;
            }
            writer.forget(file.moved_from);
            if (outcome.track) {
                changes.files.push_back({FileChange::Kind::moved, file.path, *file.old_path, {}});
                return;
            }
            // No track came of it: what was there is gone, and this is no move of it.
            changes.files.push_back({FileChange::Kind::removed, *file.old_path, {}, {}});
            ++changes.removed;
            changes.files.push_back(change_of(file.path, false, outcome));
        },
        [&writer] { writer.commit_if_due(); },
        [&](std::size_t i, bool begins) {
            try {
                writer.reading(files[i].path, files[i].state, begins ? why : nullptr);
            } catch (const std::exception&) {
                // Unrecorded, the read is only unguarded; the writes after it tell
                // what is wrong with the index.
            }
        });
}

}  // namespace

IndexChanges Index::update(const fs::path& root, const ScanOptions& options)
{
    const std::lock_guard<std::mutex> lock(state_->use);
    if (state_->lock < 0) {  // only a writer holds the lock
        throw index_error("cannot update the index " + state_->file +
                          ": read-only (opened for reading)");
    }
    detail::check_scan_options(options);
    Database& db = state_->db;
    const fs::path folder = absolute_folder(root);
    // In no order: the index has its own.
    detail::Listing listing = detail::list_files(folder, detail::thread_count(options), false);
    IndexChanges changes;
    changes.unlisted = std::move(listing.failures);

    std::unordered_map<std::string, Row> rows;  // what the index holds under the folder
    const auto [from, to] = range_under(folder);
    Statement select = db.prepare("SELECT id, path, device, inode, size, mtime_ns, ctime_ns, "
                                  "outcome = 'failed' AND message = ?, "
                                  "outcome = 'track' AND pictures IS NULL, coalesce(sheets, '') "
                                  "FROM files WHERE path >= ? AND path < ?");
    select.bind(1, cut_short).bind(2, from).bind(3, to);
    while (select.step()) {
        rows.emplace(select.text(1), Row{select.integer(0),
                                         {select.integer(2), select.integer(3), select.integer(4),
                                          select.integer(5), select.integer(6)},
                                         select.text(9),
                                         select.integer(7) != 0,
                                         select.integer(8) != 0});
    }

    std::vector<ToRead> to_read;
    std::vector<ToRead> suspects;  // whose read, beside others, did not end
    std::vector<std::pair<std::string, FileState>> unknown;  // new, or moved here
    for (std::size_t i = 0; i < listing.files.size(); ++i) {
        const std::string& file = listing.files[i];
        const FileState& state = listing.states[i];
        const auto row = rows.find(file);
        if (row == rows.end()) {
            unknown.emplace_back(file, state);
            continue;
        }
        row->second.listed = true;
        // A sheet beside it that changed may cut the file otherwise: as if it had.
        const bool same =
            row->second.state == state && row->second.sheets == detail::sheets_state(listing, file);
        if (row->second.state == state && row->second.cut_short) {
            ++changes.changed;
            suspects.push_back({file, state, true});
        } else if (same && row->second.refresh) {
            ++changes.kept;
            to_read.push_back({file, state, true, 0, nullptr, true});
        } else if (same) {
            ++changes.kept;
        } else {
            ++changes.changed;
            to_read.push_back({file, state, true});
        }
    }

    // A file gone from one path and found at another, as it was: moved, not new.
    std::multimap<Identity, std::pair<std::int64_t, const std::string*>> gone;
    for (const auto& [path, row] : rows) {
        if (!row.listed) {
            gone.emplace(identity(row.state), std::make_pair(row.id, &path));
        }
    }
    // Such a file is read all the same: another file may have been given the inode
    // of one deleted, and its size and mtime (a restored backup, say). Only the bytes
    // say what it holds; the move is what the change list tells.
    for (const auto& [file, state] : unknown) {
        const auto match = gone.find(identity(state));
        if (match == gone.end()) {
            ++changes.added;
            to_read.push_back({file, state, false});
            continue;
        }
        ++changes.changed;
        to_read.push_back({file, state, false, match->second.first, match->second.second});
        gone.erase(match);
    }

    Writer writer(db);
    // Files whose read ended the program beside others, one at a time, to find which.
    ScanOptions alone = options;
    alone.jobs = 1;
    const bool suspects_isolated = read_into(writer, changes, listing, suspects, alone);
    changes.isolated = read_into(writer, changes, listing, to_read, options) &&
                       (suspects.empty() || suspects_isolated);
    writer.commit();

    Transaction removals(db);
    Statement remove = db.prepare("DELETE FROM files WHERE id = ?");
    for (const auto& [file, row] : gone) {
        remove.bind(1, row.first).run();
        changes.files.push_back({FileChange::Kind::removed, *row.second, {}, {}});
        ++changes.removed;
    }
    removals.commit();
    std::sort(changes.files.begin(), changes.files.end(),
              [](const FileChange& a, const FileChange& b) {
                  return detail::path_order(a.path.native(), b.path.native());
              });
    return changes;
}

IndexListing Index::listing(const IndexQuery& query) const
{
    const std::lock_guard<std::mutex> lock(state_->use);
    return detail::read_listing(state_->db, query);
}

ScanResult Index::contents(const IndexQuery& query) const
{
    const std::lock_guard<std::mutex> lock(state_->use);
    return detail::read_contents(state_->db, query);
}

IndexTotals Index::totals(const IndexQuery& query) const
{
    const std::lock_guard<std::mutex> lock(state_->use);
    return detail::index_totals(state_->db, query);
}

LoudnessChanges
Index::measure_loudness(const fs::path& root, const media::LoudnessOptions& options, unsigned jobs,
                        const std::function<void(std::size_t, std::size_t)>& progress)
{
    const std::lock_guard<std::mutex> lock(state_->use);
    if (state_->lock < 0) {  // only a writer holds the lock
        throw index_error("cannot update the index " + state_->file +
                          ": read-only (opened for reading)");
    }
    return detail::measure_index_loudness(state_->db, root, options, jobs, progress);
}

std::vector<StoredLoudness> Index::loudness(const IndexQuery& query) const
{
    const std::lock_guard<std::mutex> lock(state_->use);
    return detail::read_loudness(state_->db, query);
}

}  // namespace music_library
