// media::measure_loudness: here, or in reader processes when asked: a read of each
// file, then its decode, under a time limit grown by the length that the read found.
#include <atomic>              // std::atomic
#include <condition_variable>  // std::condition_variable
#include <mutex>               // std::mutex
#include <thread>              // std::thread

#include <musiccore/loudness.hpp>

#include "formats/read_media.hpp"
#include "loudness/measure.hpp"
#include "sandbox/isolated_read.hpp"
#include "sandbox/reader_pool.hpp"

namespace media {

namespace {

using detail::ReadOutcome;
using detail::ReadRequest;

// The ranges that the options ask of a file; none: the file whole.
std::vector<SampleRange> ranges_of(const LoudnessOptions& options, const std::string& path,
                                   const MediaInfo& info)
{
    return options.ranges ? options.ranges(path, info) : std::vector<SampleRange>{};
}

ReadRequest loudness_request(const LoudnessOptions& options, const MediaInfo& info,
                             std::vector<SampleRange> ranges)
{
    ReadRequest request;
    request.kind = ReadRequest::Kind::loudness;
    request.work = detail::decode_work(options.limits, info);
    request.true_peak = options.true_peak;
    request.ranges = std::move(ranges);
    return request;
}

// A measure's results where it goes: the file whole, or its ranges.
void take_results(MeasuredFile& file, std::vector<Loudness> results, bool ranged)
{
    if (ranged) {
        file.ranges = std::move(results);
    } else {
        file.loudness = std::move(results.front());
    }
}

void measure_here(const std::string& path, const LoudnessOptions& options, MeasuredFile& file)
{
    file.info = detail::read_media(path, options.limits, nullptr, false);
    const std::vector<SampleRange> ranges = ranges_of(options, path, *file.info);
    take_results(file,
                 detail::measure_opened(detail::open_file(path, false),
                                        detail::decode_work(options.limits, *file.info),
                                        options.limits.deadline, options.true_peak, ranges),
                 !ranges.empty());
}

// What a failed answer would have thrown, as text.
std::string failure_text(ReadOutcome& answer, std::size_t memory_limit)
{
    try {
        detail::throw_failure(answer, memory_limit);
    } catch (const media_error& e) {
        return e.what();
    }
}

std::vector<MeasuredFile>
measured_here(const std::vector<std::string>& paths, const LoudnessOptions& options, unsigned jobs,
              const std::function<void(std::size_t, std::size_t)>& progress)
{
    std::vector<MeasuredFile> files(paths.size());
    std::atomic<std::size_t> next{0};
    std::size_t done = 0;
    std::mutex mutex;
    std::condition_variable changed;
    const auto work = [&] {
        for (std::size_t i = next++; i < paths.size(); i = next++) {
            MeasuredFile file;
            try {
                measure_here(paths[i], options, file);
            } catch (const std::exception& e) {  // media_error, or out of memory
                file.error = e.what();
                file.loudness.reset();
                file.ranges.clear();
            }
            const std::lock_guard<std::mutex> lock(mutex);
            files[i] = std::move(file);
            ++done;
            changed.notify_one();
        }
    };
    std::vector<std::thread> threads;
    for (unsigned job = 0; job < jobs; ++job) {
        threads.emplace_back(work);
    }
    {
        std::unique_lock<std::mutex> lock(mutex);
        std::size_t told = 0;
        while (told < paths.size()) {
            changed.wait(lock, [&] { return done != told; });
            told = done;
            if (progress) {
                lock.unlock();
                progress(told, paths.size());
                lock.lock();
            }
        }
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    return files;
}

std::vector<MeasuredFile>
measured_isolated(const std::vector<std::string>& paths, const LoudnessOptions& options,
                  unsigned jobs, const std::function<void(std::size_t, std::size_t)>& progress)
{
    detail::check_isolated(options.limits);
    const std::size_t memory = options.limits.memory_limit;
    detail::ReaderPool pool(detail::reader_program(), jobs, memory);
    std::vector<MeasuredFile> files(paths.size());
    std::size_t done = 0;
    const auto tell = [&] {
        if (progress) {
            progress(done, paths.size());
        }
    };
    // First every file's record, for its length and its tags.
    ReadRequest read;
    read.work = options.limits.work;
    pool.read(
        paths.size(), [&](std::size_t i) { return detail::open_file(paths[i], false); }, read,
        [&](std::size_t i, ReadOutcome&& answer) {
            if (answer.kind == ReadOutcome::Kind::info) {
                files[i].info = std::move(answer.info);
            } else {
                files[i].error = failure_text(answer, memory);
                ++done;
                tell();
            }
        },
        {});
    std::vector<std::size_t> read_ones;
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (files[i].info) {
            read_ones.push_back(i);
        }
    }
    std::vector<std::vector<SampleRange>> ranges(read_ones.size());
    for (std::size_t k = 0; k < read_ones.size(); ++k) {
        try {
            ranges[k] = ranges_of(options, paths[read_ones[k]], *files[read_ones[k]].info);
        } catch (const media_error& e) {
            files[read_ones[k]].error = e.what();  // measured whole, but said
        }
    }
    const detail::ReaderPool::Requester ask = [&](std::size_t k) {
        return loudness_request(options, *files[read_ones[k]].info, ranges[k]);
    };
    pool.read(
        read_ones.size(),
        [&](std::size_t k) { return detail::open_file(paths[read_ones[k]], false); }, ask,
        [&](std::size_t k, ReadOutcome&& answer) {
            MeasuredFile& file = files[read_ones[k]];
            if (answer.kind == ReadOutcome::Kind::loudness) {
                take_results(file, std::move(answer.loudness), !ranges[k].empty());
            } else {
                file.error = failure_text(answer, memory);
            }
            ++done;
            tell();
        },
        {});
    return files;
}

}  // namespace

Loudness measure_loudness(const std::string& path, const LoudnessOptions& options)
{
    LoudnessOptions whole = options;
    whole.ranges = nullptr;  // one file, one result
    if (!options.limits.isolated) {
        MeasuredFile file;
        measure_here(path, whole, file);
        return std::move(*file.loudness);
    }
    detail::check_isolated(options.limits);
    const std::size_t memory = options.limits.memory_limit;
    ReadRequest read;
    read.work = options.limits.work;
    const MediaInfo info = detail::answered_info(detail::read_alone(path, read, memory), memory);
    ReadOutcome answer = detail::read_alone(path, loudness_request(whole, info, {}), memory);
    if (answer.kind != ReadOutcome::Kind::loudness) {
        detail::throw_failure(answer, memory);
    }
    return std::move(answer.loudness.front());
}

std::vector<MeasuredFile>
measure_loudness(const std::vector<std::string>& paths, const LoudnessOptions& options,
                 unsigned jobs, const std::function<void(std::size_t, std::size_t)>& progress)
{
    detail::check_work_limit(options.limits);
    if (jobs == 0) {
        jobs = std::max(1U, std::thread::hardware_concurrency());
    }
    jobs =
        static_cast<unsigned>(std::min<std::size_t>(jobs, std::max<std::size_t>(paths.size(), 1)));
    return options.limits.isolated ? measured_isolated(paths, options, jobs, progress)
                                   : measured_here(paths, options, jobs, progress);
}

}  // namespace media
