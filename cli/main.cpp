// musiccore: exact durations and tags of music files, from the command line.
#include <chrono>      // std::chrono::milliseconds
#include <cmath>       // std::isfinite, std::ceil
#include <filesystem>  // std::filesystem::filesystem_error
#include <iostream>    // std::cout, std::cerr
#include <optional>    // std::optional
#include <string>      // std::string
#include <vector>      // std::vector

#include <malloc.h>  // mallopt
#include <unistd.h>  // isatty

#include <CLI/CLI.hpp>

#include <musiccore/index.hpp>
#include <musiccore/library.hpp>
#include <musiccore/media.hpp>
#include <musiccore/utils.hpp>
#include <musiccore/version.hpp>

#include "progress.hpp"
#include "report.hpp"

namespace {

constexpr int all_read = 0;
constexpr int some_failed = 1;
constexpr int usage_error = 2;

struct Options {
    cli::Format format = cli::Format::text;
    std::vector<std::string> paths;
    std::optional<std::chrono::seconds> min, max;
    unsigned jobs = 0;
    std::chrono::milliseconds time_limit = media::default_work_limit;
    std::string db;             // the index, if any
    std::string artist, album;  // list: texts the tracks' must hold
};

// The longest time limit taken: about 31 years, far from any overflow.
constexpr double max_time_limit_secs = 1e9;

// Accepts what utils::parse_timestamp accepts; the message names the text, and
// CLI11 puts the option's name before it.
const CLI::Validator clock_time(
    [](const std::string& text) {
        return utils::parse_timestamp(text) ? std::string()
                                            : "'" + text +
                                                  "' is not a time such as 50, 1:03 or "
                                                  "1:03:30";
    },
    "TIME");

// Seconds of processor time, 0 for no limit; anything else (negative, NaN,
// infinite, too large) is a usage error.
void add_time_limit(CLI::App& command, Options& options)
{
    command
        .add_option_function<double>(
            "--time-limit",
            [&options](double secs) {
                if (!std::isfinite(secs) || secs < 0 || secs > max_time_limit_secs) {
                    throw CLI::ValidationError("--time-limit",
                                               "must be seconds from 0 (no limit) to 1e9");
                }
                // Up: a positive limit never rounds to 0, which means none.
                options.time_limit =
                    std::chrono::milliseconds(static_cast<long long>(std::ceil(secs * 1000)));
            },
            "Processor seconds that reading one file may take (0: no limit; default 10)")
        ->type_name("SECONDS");
}

void add_length_filters(CLI::App& command, Options& options)
{
    command
        .add_option_function<std::string>(
            "--min",
            [&options](const std::string& text) { options.min = utils::parse_timestamp(text); },
            "Only tracks at least this long (50, 1:03, 1:03:30)")
        ->check(clock_time);
    command
        .add_option_function<std::string>(
            "--max",
            [&options](const std::string& text) { options.max = utils::parse_timestamp(text); },
            "Only tracks at most this long")
        ->check(clock_time);
}

void add_format_flags(CLI::App& command, Options& options)
{
    auto* json = command.add_flag_callback(
        "--json", [&options] { options.format = cli::Format::json; }, "Print one JSON document");
    command
        .add_flag_callback(
            "--csv", [&options] { options.format = cli::Format::csv; }, "Print CSV")
        ->excludes(json);
}

bool within(const Track& track, const Options& options)
{
    const double secs = track.duration_secs;
    return (!options.min || secs >= static_cast<double>(options.min->count())) &&
           (!options.max || secs <= static_cast<double>(options.max->count()));
}

void add_result(music_library::ScanResult& all, music_library::ScanResult result,
                const Options& options)
{
    for (auto& track : result.tracks) {
        if (within(track, options)) {
            all.tracks.push_back(std::move(track));
        }
    }
    all.failures.insert(all.failures.end(), result.failures.begin(), result.failures.end());
    all.skipped += result.skipped;
}

int run_scan(const Options& options)
{
    music_library::ScanOptions scan_options;
    scan_options.jobs = options.jobs;
    scan_options.file_time_limit = options.time_limit;
    std::optional<music_library::Index> index;
    music_library::IndexChanges changes;
    if (!options.db.empty()) {
        index.emplace(options.db);
    }
    music_library::ScanResult all;
    for (const auto& dir : options.paths) {
        cli::ProgressBar progress(std::cerr, isatty(STDERR_FILENO) == 1);
        scan_options.on_progress = [&progress](std::size_t done, std::size_t total) {
            progress(done, total);
        };
        if (!index) {
            add_result(all, music_library::scan(dir, scan_options), options);
            continue;
        }
        // What the index now holds under the folder, and what this update changed.
        auto update = index->update(dir, scan_options);
        changes.added += update.added;
        changes.changed += update.changed;
        changes.removed += update.removed;
        changes.kept += update.kept;
        music_library::IndexQuery query;
        query.under = dir;
        auto held = index->contents(query);
        held.failures.insert(held.failures.begin(), update.unlisted.begin(), update.unlisted.end());
        add_result(all, std::move(held), options);
    }
    cli::print_scan(all, options.format, std::cout, std::cerr, index ? &changes : nullptr);
    return all.failures.empty() ? all_read : some_failed;
}

int run_list(const Options& options)
{
    const music_library::Index index(options.db, music_library::Index::Access::read_only);
    music_library::IndexQuery query;
    query.artist = options.artist;
    query.album = options.album;
    if (options.min) {
        query.min_secs = static_cast<double>(options.min->count());
    }
    if (options.max) {
        query.max_secs = static_cast<double>(options.max->count());
    }
    cli::print_scan(index.contents(query), options.format, std::cout, std::cerr);
    return all_read;
}

int run_info(const Options& options)
{
    music_library::ScanResult all;
    const media::Limits limits{options.time_limit, std::nullopt};
    for (const auto& file : options.paths) {
        try {
            media::MediaInfo info = media::read_info(file, limits);
            Track track = track_detail::track_of(file, info);
            all.tracks.push_back({std::move(track), std::move(info)});
        } catch (const media::media_error& e) {
            all.failures.push_back({file, e.what()});
        }
    }
    cli::print_info(all, options.format, std::cout, std::cerr);
    return all.failures.empty() ? all_read : some_failed;
}

int run(int argc, char** argv)
{
    // glibc gives freed memory back to the system after every file, which makes the
    // threads wait on each other; keeping it measured 4 % faster with one job and
    // 11 % with two. The library leaves its callers' heap alone.
    mallopt(M_TRIM_THRESHOLD, 256 * 1024 * 1024);

    Options options;
    CLI::App app("Exact durations and tags of music files: Ogg Opus, Ogg Vorbis, FLAC, MP3.",
                 "musiccore");
    app.set_version_flag("--version", MUSICCORE_VERSION_STRING);
    app.require_subcommand(1);
    app.footer("Exit status: 0 when every file was read, 1 when any failed, 2 for a usage error.");

    auto* scan = app.add_subcommand("scan", "List the music files under each DIR");
    add_format_flags(*scan, options);
    add_length_filters(*scan, options);
    scan->add_option("--jobs", options.jobs, "Files read at once (0: one per core)");
    scan->add_option("--db", options.db,
                     "Keep an index in this file: read only what changed since the last scan");
    add_time_limit(*scan, options);
    scan->add_option("DIR", options.paths, "Folders to scan")
        ->required()
        ->check(CLI::ExistingDirectory);

    auto* info = app.add_subcommand("info", "Show everything read from each FILE");
    add_format_flags(*info, options);
    add_time_limit(*info, options);
    info->add_option("FILE", options.paths, "Music files")->required();

    auto* list = app.add_subcommand("list", "Show what an index holds, opening no music file");
    add_format_flags(*list, options);
    list->add_option("--db", options.db, "The index, made by scan --db")->required();
    list->add_option("--artist", options.artist, "Only tracks whose artist holds this text");
    list->add_option("--album", options.album, "Only tracks whose album holds this text");
    add_length_filters(*list, options);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? all_read : usage_error;  // --help and --version: 0
    }
    try {
        const int status = scan->parsed()   ? run_scan(options)
                           : list->parsed() ? run_list(options)
                                            : run_info(options);
        if (!std::cout.flush()) {  // a full disk must not look like success
            std::cerr << "musiccore: cannot write the output\n";
            return some_failed;
        }
        return status;
    } catch (const std::filesystem::filesystem_error& e) {  // a DIR gone since
        std::cerr << "musiccore: " << e.what() << '\n';
        return usage_error;
    } catch (const music_library::index_error& e) {
        std::cerr << "musiccore: " << e.what() << '\n';
        return some_failed;
    }
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {  // out of memory, or no threads to be had
        std::cerr << "musiccore: " << e.what() << '\n';
    } catch (...) {
    }
    return some_failed;
}
