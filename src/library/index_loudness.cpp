#include "library/index_loudness.hpp"

#include <algorithm>  // std::sort
#include <map>        // std::map
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

void write_measured(Statement& insert, std::int64_t id, const media::MeasuredFile& file)
{
    insert.bind(1, id);
    if (!file.loudness) {
        insert.bind(2, "failed").bind(3, file.error).run();
        return;
    }
    const media::Loudness& l = *file.loudness;
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
    {
        const auto [from, to] = range_under(absolute_folder(root));
        Statement due = db.prepare(
            "SELECT f.id, f.path, l.file_id IS NOT NULL FROM files f LEFT JOIN loudness l ON "
            "l.file_id = f.id WHERE f.outcome = 'track' AND f.path >= ?1 AND f.path < ?2");
        due.bind(1, from).bind(2, to);
        while (due.step()) {
            if (due.integer(2) != 0) {
                ++changes.kept;
                continue;
            }
            ids.push_back(due.integer(0));
            paths.push_back(due.text(1));
        }
    }
    const std::vector<media::MeasuredFile> measured =
        media::measure_loudness(paths, options, jobs, progress);
    Transaction transaction(db);
    Statement insert = db.prepare(
        "INSERT OR REPLACE INTO loudness (file_id, outcome, message, integrated_lufs, range_lu, "
        "sample_peak, true_peak, channels, sample_rate, frames, momentary_bins, short_term_bins) "
        "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    for (std::size_t i = 0; i < measured.size(); ++i) {
        write_measured(insert, ids[i], measured[i]);
        if (measured[i].loudness) {
            ++changes.measured;
        } else {
            changes.failures.push_back({paths[i], measured[i].error});
        }
    }
    transaction.commit();
    return changes;
}

std::vector<StoredLoudness> read_loudness(Database& db, const IndexQuery& query)
{
    const ReadTransaction reading(db);
    Statement rows = prepare_query(
        db,
        std::string("SELECT f.path, coalesce((SELECT t.value FROM tags t WHERE t.file_id = f.id "
                    "AND t.name = 'ALBUMARTIST' AND t.position = 0), f.artist), f.album, "
                    "l.outcome, l.message, l.integrated_lufs, l.range_lu, l.sample_peak, "
                    "l.true_peak, l.channels, l.sample_rate, l.frames, l.momentary_bins, "
                    "l.short_term_bins FROM files f LEFT JOIN loudness l ON l.file_id = f.id "
                    "WHERE f.outcome = 'track' AND ") +
            query_condition(),
        query);
    std::vector<StoredLoudness> stored;
    std::vector<std::string> keys;
    while (rows.step()) {
        StoredLoudness track;
        track.path = rows.text(0);
        if (rows.view(3) == "measured") {
            track.track = loudness_of_row(rows, 5);
            if (!track.track) {
                track.failure = "the index holds a loudness that no measure gives";
            }
        } else if (rows.view(3) == "failed") {
            track.failure = rows.text(4);
        }
        track.album_group = rows.is_null(2) ? track.path.parent_path().string()
                                            : rows.text(1) + " / " + rows.text(2);
        keys.push_back((rows.is_null(2) ? "folder\n" : "tags\n") + track.album_group);
        stored.push_back(std::move(track));
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
        return path_order(stored[a].path.native(), stored[b].path.native());
    });
    std::vector<StoredLoudness> sorted;
    sorted.reserve(stored.size());
    for (const std::size_t i : order) {
        sorted.push_back(std::move(stored[i]));
    }
    return sorted;
}

}  // namespace music_library::detail
