#include <musiccore/library.hpp>

#include <algorithm>  // std::sort

#include "cue/cue_sheet.hpp"
#include "library/file_listing.hpp"
#include "library/parallel_reads.hpp"

namespace music_library {

ScanResult scan(const std::filesystem::path& root, const ScanOptions& options)
{
    detail::check_scan_options(options);
    detail::Listing listing = detail::list_files(root, detail::thread_count(options), true);
    std::vector<detail::Outcome> outcomes(listing.files.size());
    const bool isolated =
        detail::read_files(listing, options, [&outcomes](std::size_t i, detail::Outcome&& outcome) {
            outcomes[i] = std::move(outcome);
        });

    ScanResult result;
    result.isolated = isolated;
    result.failures = std::move(listing.failures);
    result.tracks.reserve(outcomes.size());  // a track is large: moved once, not at each growth
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        if (outcomes[i].track) {
            result.tracks.push_back(std::move(*outcomes[i].track));
            ScannedTrack& track = result.tracks.back();
            track.folder_cover = detail::folder_cover(listing, listing.files[i]);
            detail::attach_cue_tracks(track, detail::beside_a_sheet(listing, listing.files[i]),
                                      result.failures);
        } else if (outcomes[i].failure) {
            result.failures.push_back({listing.files[i], std::move(*outcomes[i].failure)});
        } else {
            ++result.skipped;
        }
    }
    std::sort(result.failures.begin(), result.failures.end(),
              [](const ScanFailure& a, const ScanFailure& b) { return a.path < b.path; });
    return result;
}

}  // namespace music_library
