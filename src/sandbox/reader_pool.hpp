#pragma once
// Many files read in a few reader processes at once.

#include <chrono>      // std::chrono::milliseconds
#include <cstddef>     // std::size_t
#include <functional>  // std::function
#include <memory>      // std::unique_ptr
#include <string>      // std::string
#include <vector>      // std::vector

#include "io/opened_file.hpp"
#include "sandbox/reader_process.hpp"
#include "sandbox/wire.hpp"

namespace media::detail {

// How often a long read looks at its time limits and tells its progress.
constexpr std::chrono::milliseconds progress_tick{100};

class ReaderPool {
public:
    // File `i` opened, just before a reader is asked to read it; or why it cannot be.
    using Opener = std::function<OpenedFile(std::size_t)>;
    using Take = std::function<void(std::size_t, ReadOutcome&&)>;
    // What to ask of file `i`.
    using Requester = std::function<ReadRequest(std::size_t)>;

    // Takes `jobs` readers of `program` kept from an earlier pool, or starts them;
    // throws media_error ("no sandboxed reader: ...") when none is kept and the first
    // cannot start, or is not sandboxed.
    ReaderPool(std::string program, unsigned jobs, std::size_t memory_limit);
    ReaderPool(const ReaderPool&) = delete;
    ReaderPool& operator=(const ReaderPool&) = delete;
    ReaderPool(ReaderPool&&) = delete;
    ReaderPool& operator=(ReaderPool&&) = delete;
    // Keeps its readers for the next pool: starting one costs milliseconds.
    ~ReaderPool();

    // Reads `count` files as `request` asks (its work limit, zero: none), `take` called
    // with each one's index and outcome as it is done and `on_tick` about ten times a
    // second, both on this thread. A file that cannot be opened fails with "cannot
    // open: ...". A reader that crashes, runs out of memory or time, stops moving for as
    // long as the limit, goes on past three times it and its grace on the clock, or
    // answers what it could not have read fails its file alone and is replaced.
    void read(std::size_t count, const Opener& open, const ReadRequest& request, const Take& take,
              const std::function<void()>& on_tick);
    // The same, each file asked as `request` says for it.
    void read(std::size_t count, const Opener& open, const Requester& request, const Take& take,
              const std::function<void()>& on_tick);

private:
    class Run;  // one call of read

    std::string program_;
    std::size_t memory_limit_;
    std::vector<std::unique_ptr<ReaderProcess>> readers_;
};

}  // namespace media::detail
