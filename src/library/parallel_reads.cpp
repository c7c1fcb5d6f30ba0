#include "library/parallel_reads.hpp"

#include <algorithm>           // std::min, std::max
#include <atomic>              // std::atomic
#include <chrono>              // std::chrono::steady_clock
#include <condition_variable>  // std::condition_variable
#include <memory>              // std::shared_ptr, std::make_shared
#include <mutex>               // std::mutex
#include <stdexcept>           // std::invalid_argument
#include <system_error>        // std::system_error
#include <thread>              // std::thread

#include "formats/read_media.hpp"
#include "sandbox/isolated_read.hpp"
#include "sandbox/reader_pool.hpp"

namespace music_library::detail {

namespace {

using Clock = std::chrono::steady_clock;

// Results handed over at once, at the latest: the caller's work on them (the index
// writes them) goes on beside the reads.
constexpr std::size_t take_batch = 64;

Outcome track_outcome(const std::string& file, media::MediaInfo&& info)
{
    return {scanned_track(file, std::move(info)), std::nullopt};
}

// An Ogg stream of another codec in a file named as one (".ogg", ".oga") is skipped;
// any other format a library does not read is a failure.
Outcome unsupported_outcome(const std::string& file, const media::unsupported_format& error)
{
    const std::string extension = lower_extension(file);
    const bool other_ogg = error.in_ogg() && (extension == ".ogg" || extension == ".oga");
    return {std::nullopt, other_ogg ? std::nullopt : std::optional<std::string>(error.what())};
}

// What a read gives, or the failure it throws, as an outcome.
template <typename Read>
Outcome outcome_of(const std::string& file, Read read)
{
    try {
        return track_outcome(file, read());
    } catch (const media::unsupported_format& e) {
        return unsupported_outcome(file, e);
    } catch (const std::exception& e) {
        return {std::nullopt, std::string(e.what())};
    }
}

// Each file's state, so that a worker's result and a stuck worker's failure never
// both count.
enum class Claim { waiting, reading, done };

Listing files_of(const Listing& listed)
{
    Listing files;
    files.root = listed.root;
    files.files = listed.files;
    files.states = listed.states;
    return files;
}

// What the workers share. A stuck worker left behind keeps it alive: it outlives the
// reads, and holds no reference to the caller's data.
struct Shared {
    Shared(const Listing& listed, std::chrono::milliseconds limit,
           std::function<void(std::size_t, bool)> before)
        : listing(files_of(listed)), files(listing.files), time_limit(limit),
          reading_here(std::move(before)), outcomes(files.size()), claims(files.size())
    {
    }

    // The files to read, apart from the caller's: a stuck worker outlives the call.
    const Listing listing;
    const std::vector<std::string>& files;
    const std::chrono::milliseconds time_limit;
    const std::function<void(std::size_t, bool)> reading_here;
    std::vector<Outcome> outcomes;
    std::vector<std::atomic<Claim>> claims;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    std::atomic<std::size_t> done{0};
    std::mutex mutex;
    std::condition_variable ready;
    std::vector<std::size_t> settled;  // done, not yet taken; under `mutex`
    std::size_t taken = 0;             // the calling thread's own

    // Records the outcome of file `i` unless it is already recorded.
    bool settle(std::size_t i, Outcome outcome)
    {
        Claim reading = Claim::reading;
        if (!claims[i].compare_exchange_strong(reading, Claim::done)) {
            return false;
        }
        outcomes[i] = std::move(outcome);
        const std::lock_guard<std::mutex> lock(mutex);
        settled.push_back(i);
        // Else the calling thread looks every 100 ms.
        if (++done == files.size() || settled.size() == take_batch) {
            ready.notify_one();
        }
        return true;
    }
};

// Where a worker shows what it reads and that it moves.
struct Place {
    static constexpr std::size_t no_file = static_cast<std::size_t>(-1);
    media::detail::Heartbeat heartbeat{0};
    std::atomic<std::size_t> file{no_file};
};

void work(const std::shared_ptr<Shared>& shared, const std::shared_ptr<Place>& place)
{
    ListedOpener opener(shared->listing);
    while (!shared->stop) {
        const std::size_t i = shared->next++;
        if (i >= shared->files.size()) {
            return;
        }
        shared->claims[i] = Claim::reading;
        place->heartbeat = Clock::now().time_since_epoch().count();
        place->file = i;
        if (shared->reading_here) {
            shared->reading_here(i, true);
        }
        Outcome outcome = outcome_of(shared->files[i], [&] {
            return media::detail::read_media(
                opener.open(i), media::Limits{shared->time_limit, std::nullopt}, &place->heartbeat);
        });
        if (shared->reading_here) {
            shared->reading_here(i, false);
        }
        if (!shared->settle(i, std::move(outcome))) {
            return;  // given up on as stuck, and replaced
        }
        place->file = Place::no_file;
    }
}

// The worker threads: stopped and joined when they go, on every path, but for those
// left behind stuck.
class Workers {
public:
    explicit Workers(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
    Workers(const Workers&) = delete;
    Workers& operator=(const Workers&) = delete;
    Workers(Workers&&) = delete;
    Workers& operator=(Workers&&) = delete;
    ~Workers()
    {
        shared_->stop = true;  // on an exception, stop soon
        for (auto& worker : workers_) {
            worker.thread.join();
        }
    }

    // Starts threads until `count` run. A system that refuses more threads (a
    // process limit) leaves the work to those started.
    void start(std::size_t count)
    {
        try {
            while (workers_.size() < count) {
                auto place = std::make_shared<Place>();
                workers_.push_back({place, std::thread(work, shared_, place)});
            }
        } catch (const std::system_error&) {
            if (workers_.empty()) {
                throw;
            }
        }
    }

    // Fails the file of each worker whose read has not moved for longer than the
    // time limit, and leaves that worker behind; another takes its place.
    void leave_stuck_behind()
    {
        const auto limit = shared_->time_limit;
        if (limit.count() <= 0) {
            return;
        }
        const std::size_t running = workers_.size();
        for (auto it = workers_.begin(); it != workers_.end();) {
            const std::size_t file = it->place->file;
            const Clock::time_point moved{Clock::duration(it->place->heartbeat.load())};
            if (file == Place::no_file || Clock::now() - moved <= limit ||
                !shared_->settle(file, {std::nullopt, "read blocked past the time limit"})) {
                ++it;
                continue;
            }
            it->thread.detach();
            it = workers_.erase(it);
        }
        if (workers_.size() < running && shared_->next < shared_->files.size()) {
            start(running);
        }
    }

private:
    struct Worker {
        std::shared_ptr<Place> place;
        std::thread thread;
    };
    std::shared_ptr<Shared> shared_;
    std::vector<Worker> workers_;
};

// Hands what is settled to `take`, on the calling thread.
void take_settled(Shared& shared, const std::function<void(std::size_t, Outcome&&)>& take)
{
    std::vector<std::size_t> ready;
    {
        const std::lock_guard<std::mutex> lock(shared.mutex);
        ready.swap(shared.settled);
    }
    for (const std::size_t i : ready) {
        take(i, std::move(shared.outcomes[i]));
        ++shared.taken;
    }
}

}  // namespace

void check_scan_options(const ScanOptions& options)
{
    if (options.file_time_limit.count() < 0) {
        throw std::invalid_argument("ScanOptions::file_time_limit must not be negative");
    }
}

unsigned thread_count(const ScanOptions& options)
{
    return std::max(options.jobs > 0 ? options.jobs : std::thread::hardware_concurrency(), 1U);
}

namespace {

void read_on_threads(const Listing& files, const ScanOptions& options,
                     const std::function<void(std::size_t, Outcome&&)>& take,
                     const std::function<void()>& on_tick,
                     const std::function<void(std::size_t, bool)>& reading_here)
{
    const std::size_t total = files.files.size();
    const auto shared = std::make_shared<Shared>(files, options.file_time_limit, reading_here);
    {
        Workers workers(shared);
        workers.start(std::min<std::size_t>(thread_count(options), total));
        constexpr auto tick = media::detail::progress_tick;
        auto ticked = Clock::now();
        while (shared->taken < total) {
            {
                std::unique_lock<std::mutex> lock(shared->mutex);
                shared->ready.wait_for(lock, tick, [&] {
                    return shared->done == total || shared->settled.size() >= take_batch;
                });
            }
            take_settled(*shared, take);
            if (shared->taken == total || Clock::now() - ticked < tick) {
                continue;
            }
            ticked = Clock::now();
            workers.leave_stuck_behind();
            if (on_tick) {
                on_tick();
            }
            if (options.on_progress) {
                options.on_progress(shared->taken, total);
            }
        }
    }
}

}  // namespace

bool read_files(const Listing& listing, const ScanOptions& options,
                const std::function<void(std::size_t, Outcome&&)>& take,
                const std::function<void()>& on_tick,
                const std::function<void(std::size_t, bool)>& reading_here)
{
    const std::vector<std::string>& files = listing.files;
    if (!options.isolated) {
        read_on_threads(listing, options, take, on_tick, reading_here);
    } else if (!files.empty()) {
        media::detail::ReaderPool pool(media::detail::reader_program(), thread_count(options),
                                       options.memory_limit);
        ListedOpener opener(listing);
        media::detail::ReadRequest request;
        request.work = options.file_time_limit;
        std::size_t done = 0;
        pool.read(
            files.size(), [&opener](std::size_t i) { return opener.open(i); }, request,
            [&](std::size_t i, media::detail::ReadOutcome&& answer) {
                take(i, outcome_of(files[i], [&] {
                         return media::detail::answered_info(std::move(answer),
                                                             options.memory_limit);
                     }));
                ++done;
            },
            [&] {
                if (on_tick) {
                    on_tick();
                }
                if (options.on_progress) {
                    options.on_progress(done, files.size());
                }
            });
    }
    if (options.on_progress) {
        options.on_progress(files.size(), files.size());
    }
    return options.isolated;
}

}  // namespace music_library::detail
