#include "library/index_loudness.hpp"

#include <algorithm>  // std::sort
#include <map>        // std::map
#include <memory>     // std::make_shared
#include <optional>   // std::optional
#include <string>     // std::string
#include <utility>    // std::move

#include <nlohmann/json.hpp>

#include "library/file_listing.hpp"
#include "library/index_query.hpp"
#include "loudness/measure.hpp"

namespace music_library::detail {

namespace fs = std::filesystem;

namespace {

using Json = nlohmann::json;

// Bins kept as MessagePack: per bin its number, blocks and energy.
std::string packed_bins(const std::vector<media::LoudnessBin>& bins)
{
    Json flat = Json::array();
    for (const media::LoudnessBin& bin : bins) {
        flat.push_back(bin.bin);
        flat.push_back(bin.blocks);
        flat.push_back(bin.energy);
    }
    const std::vector<std::uint8_t> bytes = Json::to_msgpack(flat);
    return {bytes.begin(), bytes.end()};
}

// The bins of a blob, or none for one that is not what packed_bins writes: the
// index is a file that anyone may have written.
std::optional<std::vector<media::LoudnessBin>> unpacked_bins(std::string_view bytes)
{
    // 10,000 bins of three values: well under a MiB.
    constexpr std::size_t most_bytes = std::size_t{1} << 20U;
    if (bytes.size() > most_bytes) {
        return std::nullopt;
    }
    const Json flat = Json::from_msgpack(bytes.begin(), bytes.end(), true, false);
    if (!flat.is_array() || flat.size() % 3 != 0) {
        return std::nullopt;
    }
    std::vector<media::LoudnessBin> bins;
    for (std::size_t i = 0; i < flat.size(); i += 3) {
        if (!flat[i].is_number_integer() || !flat[i + 1].is_number_unsigned() ||
            !flat[i + 2].is_number_float()) {
            return std::nullopt;
        }
        const auto index = flat[i].get<std::int64_t>();
        if (index < 0 || index > 1 << 20) {
            return std::nullopt;
        }
        bins.push_back({static_cast<std::int32_t>(index), flat[i + 1].get<std::uint64_t>(),
                        flat[i + 2].get<double>()});
    }
    return bins;
}

// The loudness of file `id`'s track `cue_track` (0: the whole file), or why not.
void write_measured(Statement& insert, std::int64_t id, int cue_track,
                    const media::Loudness* loudness, const std::string& error)
{
    insert.bind(1, id).bind(13, std::int64_t{cue_track});
    if (loudness == nullptr) {
        insert.bind(2, "failed").bind(3, error).run();
        return;
    }
    const media::Loudness& l = *loudness;
    insert.bind(2, "measured");
    if (l.integrated_lufs) {
        insert.bind(4, *l.integrated_lufs);
    }
    if (l.range_lu) {
        insert.bind(5, *l.range_lu);
    }
    insert.bind(6, l.sample_peak);
    if (l.true_peak) {
        insert.bind(7, *l.true_peak);
    }
    insert.bind(8, std::int64_t{l.channels}).bind(9, std::int64_t{l.sample_rate});
    insert.bind(10, std::int64_t{l.frames});
    insert.bind_blob(11, packed_bins(l.momentary_bins))
        .bind_blob(12, packed_bins(l.short_term_bins));
    insert.run();
}

// The tracks of the files that a CUE sheet cut, by path: the ranges to measure.
struct CutFiles {
    std::map<std::string, std::vector<int>> numbers;
    std::map<std::string, std::vector<media::SampleRange>> ranges;
};

CutFiles cut_files(Database& db, const std::string& from, const std::string& to)
{
    CutFiles cut;
    Statement rows = db.prepare("SELECT f.path, c.cue_track, c.start_sample, c.samples FROM "
                                "files f JOIN cue_tracks c ON c.file_id = f.id WHERE f.path >= "
                                "?1 AND f.path < ?2 ORDER BY f.path, c.cue_track");
    rows.bind(1, from).bind(2, to);
    while (rows.step()) {
        const std::string path = rows.text(0);
        cut.numbers[path].push_back(static_cast<int>(rows.integer(1)));
        cut.ranges[path].push_back({rows.integer(2), rows.integer(3)});
    }
    return cut;
}

// A row's loudness, or none where the row is not one that a measure writes.
std::optional<media::Loudness> loudness_of_row(const Statement& row, int first)
{
    media::Loudness l;
    l.sample_peak = row.real(first + 2);
    if (!row.is_null(first + 3)) {
        l.true_peak = row.real(first + 3);
    }
    l.channels = static_cast<int>(row.integer(first + 4));
    l.sample_rate = static_cast<long>(row.integer(first + 5));
    l.frames = row.integer(first + 6);
    try {
        auto momentary = unpacked_bins(row.blob(first + 7));
        auto short_term = unpacked_bins(row.blob(first + 8));
        if (!momentary || !short_term) {
            return std::nullopt;
        }
        l.momentary_bins = std::move(*momentary);
        l.short_term_bins = std::move(*short_term);
    } catch (const Json::exception&) {
        return std::nullopt;
    }
    if (!media::detail::loudness_problem(l, std::nullopt).empty()) {
        return std::nullopt;
    }
    return l;
}

}  // namespace

LoudnessChanges
measure_index_loudness(Database& db, const fs::path& root, const media::LoudnessOptions& options,
                       unsigned jobs, const std::function<void(std::size_t, std::size_t)>& progress)
{
    LoudnessChanges changes;
    std::vector<std::int64_t> ids;
    std::vector<std::string> paths;
    const auto [from, to] = range_under(absolute_folder(root));
    {
        Statement due = db.prepare(
            "SELECT f.id, f.path, (SELECT count(*) FROM loudness l WHERE l.file_id = f.id) FROM "
            "files f WHERE f.outcome = 'track' AND f.path >= ?1 AND f.path < ?2");
        due.bind(1, from).bind(2, to);
        while (due.step()) {
            if (due.integer(2) != 0) {
                changes.kept += static_cast<std::size_t>(due.integer(2));
                continue;
            }
            ids.push_back(due.integer(0));
            paths.push_back(due.text(1));
        }
    }
    // An image's tracks each on its own, from one decode, as its sheet cut it when read.
    const CutFiles cut = cut_files(db, from, to);
    media::LoudnessOptions measure = options;
    measure.ranges = [&cut](const std::string& path, const media::MediaInfo& /*info*/) {
        const auto ranges = cut.ranges.find(path);
        return ranges == cut.ranges.end() ? std::vector<media::SampleRange>() : ranges->second;
    };
    const std::vector<media::MeasuredFile> measured =
        media::measure_loudness(paths, measure, jobs, progress);
    Transaction transaction(db);
    Statement insert =
        db.prepare((std::string("INSERT OR REPLACE INTO loudness (") + loudness_columns +
                    ", cue_track) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)")
                       .c_str());
    for (std::size_t i = 0; i < measured.size(); ++i) {
        const media::MeasuredFile& file = measured[i];
        const auto numbers = cut.numbers.find(paths[i]);
        if (file.error.empty() && numbers != cut.numbers.end() &&
            numbers->second.size() == file.ranges.size()) {
            for (std::size_t k = 0; k < file.ranges.size(); ++k) {
                write_measured(insert, ids[i], numbers->second[k], &file.ranges[k], {});
            }
            changes.measured += file.ranges.size();
        } else if (file.error.empty() && file.loudness) {
            write_measured(insert, ids[i], 0, &*file.loudness, {});
            ++changes.measured;
        } else {
            // An image's failure is each of its tracks'.
            const std::string error = file.error.empty() ? "not measured" : file.error;
            for (const int number :
                 numbers != cut.numbers.end() ? numbers->second : std::vector<int>{0}) {
                write_measured(insert, ids[i], number, nullptr, error);
            }
            changes.failures.push_back({paths[i], error});
        }
    }
    transaction.commit();
    return changes;
}

namespace {

// What StoredLoudness's extension holds: which of a file's CUE tracks it is.
struct StoredExtension {
    int cue_track = 0;
};

// The columns of what read_loudness reads, from the files `f`, the records of
// `tracks` (their CUE tracks `c`, or the files themselves), their tags in `tags`, and
// their loudness `l`.
std::string stored_columns(const char* number, const char* tracks, const char* tags,
                           const char* same_track)
{
    return std::string("SELECT f.path, ") + number + ", coalesce((SELECT t.value FROM " + tags +
           " t WHERE t.file_id = f.id" + same_track +
           " AND t.name = 'ALBUMARTIST' AND t.position = 0), " + tracks + ".artist), " + tracks +
           ".album, l.outcome, l.message, l.integrated_lufs, l.range_lu, l.sample_peak, "
           "l.true_peak, l.channels, l.sample_rate, l.frames, l.momentary_bins, l.short_term_bins";
}

StoredLoudness stored_of(const Statement& row, std::vector<std::string>& keys)
{
    StoredLoudness track;
    track.path = row.text(0);
    if (const auto number = static_cast<int>(row.integer(1)); number != 0) {
        track.extension = std::make_shared<const StoredExtension>(StoredExtension{number});
    }
    if (row.view(4) == "measured") {
        track.track = loudness_of_row(row, 6);
        if (!track.track) {
            track.failure = "the index holds a loudness that no measure gives";
        }
    } else if (row.view(4) == "failed") {
        track.failure = row.text(5);
    }
    track.album_group =
        row.is_null(3) ? track.path.parent_path().string() : row.text(2) + " / " + row.text(3);
    keys.push_back((row.is_null(3) ? "folder\n" : "tags\n") + track.album_group);
    return track;
}

}  // namespace

std::vector<StoredLoudness> read_loudness(Database& db, const IndexQuery& query)
{
    const ReadTransaction reading(db);
    std::vector<StoredLoudness> stored;
    std::vector<std::string> keys;
    for (const std::string& sql :
         {stored_columns("0", "f", "tags", "") +
              " FROM files f LEFT JOIN loudness l ON l.file_id = f.id AND l.cue_track = 0 WHERE "
              "f.outcome = 'track' AND f.cue_sheet IS NULL AND " +
              query_condition(),
          stored_columns("c.cue_track", "c", "cue_tags", " AND t.cue_track = c.cue_track") +
              " FROM files f JOIN cue_tracks c ON c.file_id = f.id LEFT JOIN loudness l ON "
              "l.file_id = f.id AND l.cue_track = c.cue_track WHERE " +
              cue_condition()}) {
        Statement rows = prepare_query(db, sql, query);
        while (rows.step()) {
            stored.push_back(stored_of(rows, keys));
        }
    }
    std::map<std::string, std::vector<media::Loudness>> albums;
    for (std::size_t i = 0; i < stored.size(); ++i) {
        if (stored[i].track) {
            albums[keys[i]].push_back(*stored[i].track);
        }
    }
    std::map<std::string, media::Loudness> gated;
    for (const auto& [key, tracks] : albums) {
        gated.emplace(key, media::album_loudness(tracks));
    }
    for (std::size_t i = 0; i < stored.size(); ++i) {
        if (const auto album = gated.find(keys[i]); album != gated.end()) {
            stored[i].album = album->second;
        }
    }
    std::vector<std::size_t> order(stored.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::sort(order.begin(), order.end(), [&stored](std::size_t a, std::size_t b) {
        if (stored[a].path != stored[b].path) {
            return path_order(stored[a].path.native(), stored[b].path.native());
        }
        return cue_track_of(stored[a]) < cue_track_of(stored[b]);
    });
    std::vector<StoredLoudness> sorted;
    sorted.reserve(stored.size());
    for (const std::size_t i : order) {
        sorted.push_back(std::move(stored[i]));
    }
    return sorted;
}

}  // namespace music_library::detail

namespace music_library {

int cue_track_of(const StoredLoudness& stored)
{
    const auto* extension = static_cast<const detail::StoredExtension*>(stored.extension.get());
    return extension == nullptr ? 0 : extension->cue_track;
}

}  // namespace music_library
