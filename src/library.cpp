#include <musiccore/library.hpp>

#include <algorithm>           // std::sort, std::min, std::max
#include <atomic>              // std::atomic
#include <cctype>              // std::tolower
#include <condition_variable>  // std::condition_variable
#include <mutex>               // std::mutex
#include <optional>            // std::optional
#include <system_error>        // std::error_code, std::errc
#include <thread>              // std::thread

#include <opusfile.h>  // OP_ENOTFORMAT

namespace music_library {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string lower_extension(const fs::path& file)
{
    std::string extension = file.extension().string();
    for (char& c : extension) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return extension;
}

bool may_be_opus(const fs::path& file)
{
    const std::string extension = lower_extension(file);
    return extension == ".opus" || extension == ".ogg" || extension == ".oga";
}

struct Listing {
    std::vector<fs::path> files;  // sorted
    std::vector<ScanFailure> failures;
};

// Every file under `root` that may be Ogg Opus, without following directory links.
Listing list_files(const fs::path& root)
{
    Listing listing;
    std::vector<fs::path> pending{root};
    while (!pending.empty()) {
        const fs::path directory = std::move(pending.back());
        pending.pop_back();
        std::error_code error;
        for (fs::directory_iterator it(directory, error), end; !error && it != end;
             it.increment(error)) {
            std::error_code ignored;  // an entry gone meanwhile is simply not there
            if (!it->is_symlink(ignored) && it->is_directory(ignored)) {
                pending.push_back(it->path());
            } else if (may_be_opus(it->path()) && it->is_regular_file(ignored)) {
                listing.files.push_back(it->path());
            }
        }
        if (error) {
            listing.failures.push_back({directory, "cannot list the folder: " + error.message()});
        }
    }
    std::sort(listing.files.begin(), listing.files.end());
    return listing;
}

struct Outcome {
    std::optional<Track> track;
    std::optional<std::string> failure;  // neither: skipped
};

// Now plus `time_limit`; a limit too long to add to the clock means none.
Clock::time_point deadline_after(std::chrono::milliseconds time_limit)
{
    const auto now = Clock::now();
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - now);
    return time_limit < left ? now + time_limit : Clock::time_point::max();
}

Outcome read_file(const fs::path& file, std::chrono::milliseconds time_limit)
{
    try {
        return {load_track(file, deadline_after(time_limit)), std::nullopt};
    } catch (const opus_utils::opus_error& e) {
        const bool other_ogg = e.error_code() == OP_ENOTFORMAT && e.reason().empty() &&
                               lower_extension(file) != ".opus";
        return {std::nullopt, other_ogg ? std::nullopt : std::optional<std::string>(e.what())};
    } catch (const std::exception& e) {
        return {std::nullopt, std::string(e.what())};
    }
}

// Threads that are stopped and joined when they go, on every path.
class Workers {
public:
    Workers(std::atomic<std::size_t>& next, std::size_t count) : next_(next), count_(count) {}
    Workers(const Workers&) = delete;
    Workers& operator=(const Workers&) = delete;
    Workers(Workers&&) = delete;
    Workers& operator=(Workers&&) = delete;
    ~Workers()
    {
        next_ = count_;  // nothing more to take: on an exception, stop soon
        for (auto& thread : threads_) {
            thread.join();
        }
    }

    // Starts up to `jobs` threads running `work`. A system that refuses more
    // threads (a process limit) leaves the work to those started.
    template <typename Work>
    void start(std::size_t jobs, const Work& work)
    {
        try {
            while (threads_.size() < jobs) {
                threads_.emplace_back(work);
            }
        } catch (const std::system_error&) {
            if (threads_.empty()) {
                throw;
            }
        }
    }

private:
    std::atomic<std::size_t>& next_;
    std::size_t count_;
    std::vector<std::thread> threads_;
};

// Reads `files` on `jobs` threads, each taking the next index; reports progress
// from the calling thread only.
std::vector<Outcome> read_files(const std::vector<fs::path>& files, const ScanOptions& options)
{
    std::vector<Outcome> outcomes(files.size());
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> done{0};
    std::mutex mutex;
    std::condition_variable finished;
    const auto all_done = [&] { return done == files.size(); };
    {
        Workers workers(next, files.size());
        const unsigned jobs = options.jobs > 0 ? options.jobs : std::thread::hardware_concurrency();
        workers.start(std::min<std::size_t>(std::max(jobs, 1U), files.size()), [&] {
            for (std::size_t i = next++; i < files.size(); i = next++) {
                outcomes[i] = read_file(files[i], options.file_time_limit);
                if (++done == files.size()) {
                    const std::lock_guard<std::mutex> lock(mutex);
                    finished.notify_one();
                }
            }
        });
        std::unique_lock<std::mutex> lock(mutex);
        while (!finished.wait_for(lock, std::chrono::milliseconds(100), all_done)) {
            if (options.on_progress) {
                options.on_progress(done, files.size());
            }
        }
    }
    if (options.on_progress) {
        options.on_progress(files.size(), files.size());
    }
    return outcomes;
}

}  // namespace

ScanResult scan(const fs::path& root, const ScanOptions& options)
{
    if (!fs::is_directory(root)) {  // throws when it cannot look
        const bool exists = fs::exists(fs::symlink_status(root));
        throw fs::filesystem_error(
            "cannot scan", root,
            std::make_error_code(exists ? std::errc::not_a_directory
                                        : std::errc::no_such_file_or_directory));
    }
    Listing listing = list_files(root);
    std::vector<Outcome> outcomes = read_files(listing.files, options);

    ScanResult result;
    result.failures = std::move(listing.failures);
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        if (outcomes[i].track) {
            result.tracks.push_back(std::move(*outcomes[i].track));
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
