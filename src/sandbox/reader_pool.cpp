#include "sandbox/reader_pool.hpp"

#include <algorithm>  // std::all_of, std::min, std::max
#include <deque>      // std::deque
#include <mutex>      // std::mutex
#include <thread>     // std::this_thread::sleep_for
#include <utility>    // std::pair

#include <poll.h>    // poll
#include <unistd.h>  // getpid

namespace media::detail {

namespace {

using Clock = std::chrono::steady_clock;

// While each busy reader has half as many still to read as are asked ahead, this
// process naps before it looks for answers, and takes them many at a time: a wake-up
// for each answer would cost the readers their cores. The nap is fitted to the pace
// of the files: short enough that no reader runs dry, long enough to take many.
constexpr std::chrono::microseconds longest_nap{1000};
constexpr std::chrono::microseconds shortest_nap{50};
// The first: short, for the pace is not known yet; fast files would see a long one out
// with the reader idle.
constexpr std::chrono::microseconds first_nap{250};
// How often the readers are looked at, and how much processor time past the limit a
// reader is given to stop itself, with its own message, before it is stopped.
constexpr auto tick = progress_tick;
constexpr std::chrono::milliseconds grace{1000};
// Readers in a row that ended before they answered anything: past as many, none is to
// be had.
constexpr std::size_t fruitless_limit = 8;

ReadOutcome failure(std::string message)
{
    ReadOutcome outcome;
    outcome.message = std::move(message);
    return outcome;
}

bool failed(const ReadOutcome& answer)
{
    return answer.kind == ReadOutcome::Kind::failed ||
           answer.kind == ReadOutcome::Kind::out_of_memory;
}

// A read may take three times its processor time and its grace on the clock: a reader
// that moves, but too slowly to end (a byte at a time), is stopped all the same, and
// one that spins on a loaded machine is still stopped by its processor time first.
std::chrono::milliseconds clock_limit(std::chrono::milliseconds work)
{
    return 3 * (work + grace);
}

// Past half its bound of processor time, a reader reads no more files.
bool worn_out(const ReaderProcess& reader)
{
    const auto usage = reader.usage();
    return usage && usage->cpu > std::chrono::nanoseconds(reader_cpu_backstop) / 2;
}

std::string no_sandboxed_reader(const media_error& error)
{
    const std::string why = error.what();
    return why.rfind("no sandboxed reader", 0) == 0 ? why : "no sandboxed reader: " + why;
}

}  // namespace

class ReaderPool::Run {
public:
    Run(ReaderPool& pool, std::size_t count, const Opener& open, const Requester& request,
        const Take& take)
        : pool_(pool), count_(count), open_(open), request_(request), take_(take), work_(count),
          slots_(pool.readers_.size())
    {
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            slots_[i].reader = std::move(pool.readers_[i]);
        }
        pool.readers_.clear();
        for (std::size_t i = 0; i < count; ++i) {
            waiting_.push_back(i);
        }
    }

    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;
    Run(Run&&) = delete;
    Run& operator=(Run&&) = delete;

    // The readers that are left serve the next read; one still at work when the read
    // ends early (an exception) is ended.
    ~Run()
    {
        for (Slot& slot : slots_) {
            if (slot.reader) {
                slot.reader->pass_on_errors();  // what it said before its last answer
            }
            if (slot.reader && slot.asked.empty() && !slot.retiring) {
                pool_.readers_.push_back(std::move(slot.reader));
            }
        }
    }

    void go(const std::function<void()>& on_tick)
    {
        auto ticked = Clock::now();
        while (done_ < count_) {
            for (Slot& slot : slots_) {
                ask(slot);
            }
            if (!wait_for_answers()) {
                continue;
            }
            for (Slot& slot : slots_) {
                collect(slot);
            }
            if (napped_) {
                fit_nap();
            }
            const auto now = Clock::now();
            if (now - ticked >= tick) {
                ticked = now;
                for (Slot& slot : slots_) {
                    watch(slot, now);
                }
                if (on_tick) {
                    on_tick();
                }
            }
        }
    }

private:
    // A reader, the files asked of it in order, and what the watch has seen of the first.
    struct Slot {
        std::unique_ptr<ReaderProcess> reader;
        std::deque<std::size_t> asked;
        // Of those asked, how many were still to read when this process last looked:
        // before the files asked next, which go out as soon as answers are in.
        std::size_t unread = 0;
        std::size_t channel_at = no_poll, errors_at = no_poll;  // in the latest poll
        Clock::time_point front_since;  // when the first file asked became the first
        std::size_t watched = static_cast<std::size_t>(-1);  // the file the watch follows
        ReaderProcess::Usage at_start, last;
        Clock::time_point moved;
        // After a read that failed: what the format's library may have left behind (a
        // leak of libvorbisfile's, say) goes with the process, once its answers are in.
        bool retiring = false;
    };

    void settle(std::size_t file, ReadOutcome&& outcome)
    {
        take_(file, std::move(outcome));
        ++done_;
    }

    // The reader is done for: its first file fails with `why`, the others go back.
    void give_up(Slot& slot, const std::string& why)
    {
        if (slot.asked.empty()) {
            if (++fruitless_ >= fruitless_limit) {
                cannot_start_ = why;
            }
        } else {
            settle(slot.asked.front(), failure(why));
            slot.asked.pop_front();
        }
        waiting_.insert(waiting_.begin(), slot.asked.begin(), slot.asked.end());
        slot.asked.clear();
        slot.reader.reset();
        slot.retiring = false;
    }

    // Starts a reader where one is needed, and asks it files up to the ones ahead,
    // each opened here.
    void ask(Slot& slot)
    {
        if (!slot.reader && !waiting_.empty()) {
            try {
                slot.reader = std::make_unique<ReaderProcess>(pool_.program_, pool_.memory_limit_);
                if (fruitless_ < fruitless_limit) {
                    cannot_start_.clear();
                }
            } catch (const media_error& e) {
                cannot_start_ = no_sandboxed_reader(e);
                return;
            }
        }
        if (!slot.reader || slot.retiring) {
            return;
        }
        ask_more(slot);
        // A reader that cannot be sent to has ended: what it answered before counts.
        if (slot.reader->sending() && !slot.reader->send()) {
            take_answers(slot);
        }
    }

    // Opens files for a reader up to its share, and asks them.
    void ask_more(Slot& slot)
    {
        while (slot.asked.size() < share() && !waiting_.empty()) {
            const std::size_t file = waiting_.front();
            waiting_.pop_front();
            OpenedFile opened = open_(file);
            if (!opened.fd) {
                settle(file, failure("cannot open: " + opened.failure));
                continue;
            }
            if (slot.asked.empty()) {
                slot.front_since = Clock::now();
            }
            const ReadRequest request = request_(file);
            work_[file] = request.work;
            slot.reader->ask(request, std::move(opened.fd),
                             opened.regular ? std::optional<std::int64_t>(opened.size)
                                            : std::nullopt);
            slot.asked.push_back(file);
        }
    }

    // Files asked of one reader at most: its share of those left, so that a few slow
    // files are read side by side, and never more than are asked ahead.
    std::size_t share() const
    {
        std::size_t left = waiting_.size();
        for (const Slot& slot : slots_) {
            left += slot.asked.size();
        }
        return std::min(max_asked_ahead,
                        std::max<std::size_t>(1, (left + slots_.size() - 1) / slots_.size()));
    }

    // Waits a tick at most for a busy reader to answer, or to take more of what it is
    // asked; false when none is busy and readers are to be started again. With none
    // busy and none to be had, the files waiting fail.
    bool wait_for_answers()
    {
        std::vector<pollfd>& ready = ready_;
        ready.clear();
        bool busy = false;
        for (Slot& slot : slots_) {
            slot.channel_at = slot.errors_at = no_poll;
            if (!slot.reader) {
                continue;
            }
            slot.unread = slot.asked.size();
            if (!slot.asked.empty()) {
                const short events = POLLIN | (slot.reader->sending() ? POLLOUT : 0);
                slot.channel_at = ready.size();
                ready.push_back({slot.reader->channel(), events, 0});
                busy = true;
            }
            if (slot.reader->errors() >= 0) {
                slot.errors_at = ready.size();
                ready.push_back({slot.reader->errors(), POLLIN, 0});
            }
        }
        if (!busy) {
            if (!cannot_start_.empty()) {
                for (; !waiting_.empty(); waiting_.pop_front()) {
                    settle(waiting_.front(), failure(cannot_start_));
                }
            }
            return false;
        }
        const bool all_busy = std::all_of(slots_.begin(), slots_.end(), [](const Slot& slot) {
            return !slot.reader || slot.asked.size() >= max_asked_ahead / 2;
        });
        napped_ = all_busy;
        if (all_busy) {
            std::this_thread::sleep_for(nap_);
        }
        poll(ready.data(), ready.size(), static_cast<int>(tick.count()));
        for (Slot& slot : slots_) {
            if (slot.errors_at != no_poll && ready[slot.errors_at].revents != 0) {
                slot.reader->pass_on_errors();
            }
        }
        return true;
    }

    // Once a nap is over, each reader is to have a quarter to three quarters of what
    // it was asked still to read: fewer, and it may have run dry; more, and this
    // process looked too soon.
    void fit_nap()
    {
        if (waiting_.empty()) {
            return;  // the last files: the readers run dry as they must
        }
        std::size_t fewest = max_asked_ahead;
        for (const Slot& slot : slots_) {
            if (slot.reader && !slot.retiring) {
                fewest = std::min(fewest, slot.unread);
            }
        }
        if (fewest < max_asked_ahead / 4) {
            nap_ = std::max<std::chrono::microseconds>(shortest_nap, nap_ / 2);
        } else if (fewest > max_asked_ahead / 4 * 3) {
            nap_ = std::min<std::chrono::microseconds>(longest_nap, nap_ * 2);
        }
    }

    // Whether the poll found something to do on the slot's channel.
    bool stirred(const Slot& slot) const
    {
        return slot.channel_at != no_poll && ready_[slot.channel_at].revents != 0;
    }

    // Sends what a busy reader is asked, takes what it answered; gives it up when it
    // ended or misbehaved, and lets it go when it is retiring and has answered all.
    void collect(Slot& slot)
    {
        if (!slot.reader || slot.asked.empty() || !stirred(slot)) {
            return;
        }
        take_answers(slot);
    }

    // Settles the files a reader has answered; gives up on it if it has ended.
    void take_answers(Slot& slot)
    {
        std::vector<ReadOutcome> answers;
        const bool alive = slot.reader->pump(answers);
        answered_.clear();
        for (ReadOutcome& answer : answers) {
            slot.retiring = slot.retiring || failed(answer);
            answered_.emplace_back(slot.asked.front(), std::move(answer));
            slot.asked.pop_front();
            slot.front_since = Clock::now();
            fruitless_ = 0;
        }
        slot.unread = slot.asked.size();
        if (alive && !slot.retiring && !answered_.empty()) {
            // The reader gets its next files before this process works through the
            // answers, which may take longer than the files it has left.
            ask_more(slot);
            slot.reader->send();  // a failure shows at the next ask
        }
        for (auto& [file, outcome] : answered_) {
            settle(file, std::move(outcome));
        }
        if (!alive) {
            give_up(slot, slot.reader->ending());
        } else if (slot.retiring && slot.asked.empty()) {
            slot.reader.reset();
            slot.retiring = false;
        }
    }

    // A busy reader's first file: from the first look at it, what it spends.
    void watch(Slot& slot, Clock::time_point now)
    {
        if (!slot.reader || slot.asked.empty() || work_[slot.asked.front()].count() <= 0) {
            return;
        }
        const auto usage = slot.reader->usage();
        if (!usage) {
            return;  // gone: its channel tells
        }
        const auto limit = work_[slot.asked.front()];
        if (slot.watched != slot.asked.front()) {
            slot.watched = slot.asked.front();
            slot.at_start = slot.last = *usage;
            slot.moved = now;
            slot.retiring = slot.retiring || worn_out(*slot.reader);
        } else if (usage->cpu - slot.at_start.cpu > limit + grace) {
            stop(slot, "time limit passed");
        } else if (now - slot.front_since > clock_limit(limit)) {
            stop(slot, "read took longer than " +
                           std::to_string(std::chrono::duration_cast<std::chrono::seconds>(
                                              clock_limit(limit) + std::chrono::milliseconds(999))
                                              .count()) +
                           " s");
        } else if (usage->cpu != slot.last.cpu || usage->bytes_read != slot.last.bytes_read) {
            slot.last = *usage;
            slot.moved = now;
        } else if (now - slot.moved > limit) {
            stop(slot, "read blocked past the time limit");
        }
    }

    void stop(Slot& slot, const std::string& why)
    {
        slot.reader->retire(why);
        give_up(slot, why);
    }

    ReaderPool& pool_;
    std::size_t count_;
    const Opener& open_;
    const Requester& request_;
    const Take& take_;
    std::vector<std::chrono::milliseconds> work_;  // each file's, once asked
    static constexpr std::size_t no_poll = static_cast<std::size_t>(-1);
    std::vector<Slot> slots_;
    std::vector<pollfd> ready_;                                  // kept: one poll a wake-up
    std::vector<std::pair<std::size_t, ReadOutcome>> answered_;  // kept: files and answers
    std::deque<std::size_t> waiting_;
    std::size_t done_ = 0;
    std::size_t fruitless_ = 0;
    std::chrono::microseconds nap_ = first_nap;
    bool napped_ = false;  // before the latest look for answers
    std::string cannot_start_;
};

namespace {

// Readers between pools, by their program and memory limit, for this process alone:
// a copy made by fork lets its parent's go. Never destroyed: at the process's exit,
// the readers see their channels end, and end.
struct Kept {
    std::string program;
    std::size_t memory_limit;
    std::unique_ptr<ReaderProcess> reader;
};

struct Keeper {
    std::mutex mutex;
    pid_t owner = getpid();
    std::vector<Kept> readers;
};

// At most as many kept: more than cores would only wait.
constexpr std::size_t max_kept = 16;

Keeper& keeper()
{
    // NOLINTNEXTLINE(cppcoreguidelines-owning-memory,cppcoreguidelines-avoid-non-const-global-variables)
    static auto* const kept = new Keeper;
    if (kept->owner != getpid()) {
        for (Kept& inherited : kept->readers) {
            inherited.reader->disown();
        }
        kept->readers.clear();
        kept->owner = getpid();
    }
    return *kept;
}

}  // namespace

ReaderPool::ReaderPool(std::string program, unsigned jobs, std::size_t memory_limit)
    : program_(std::move(program)), memory_limit_(memory_limit)
{
    {
        Keeper& kept = keeper();
        const std::lock_guard<std::mutex> lock(kept.mutex);
        auto& readers = kept.readers;
        for (auto it = readers.begin(); it != readers.end() && readers_.size() < jobs;) {
            if (it->program != program_ || it->memory_limit != memory_limit_) {
                ++it;
                continue;
            }
            // One that ended, spoke unasked or has worked long while kept is let go.
            if (it->reader->waiting() && !worn_out(*it->reader)) {
                readers_.push_back(std::move(it->reader));
            }
            it = readers.erase(it);
        }
    }
    if (readers_.empty()) {
        try {
            readers_.push_back(std::make_unique<ReaderProcess>(program_, memory_limit_));
        } catch (const media_error& e) {
            throw media_error(no_sandboxed_reader(e));
        }
    }
    for (auto i = static_cast<unsigned>(readers_.size()); i < jobs; ++i) {
        try {
            readers_.push_back(std::make_unique<ReaderProcess>(program_, memory_limit_));
        } catch (const media_error&) {
            break;  // no more to be had (a process limit): the others read it all
        }
    }
}

ReaderPool::~ReaderPool()
{
    Keeper& kept = keeper();
    const std::lock_guard<std::mutex> lock(kept.mutex);
    for (auto& reader : readers_) {
        if (kept.readers.size() < max_kept && reader->waiting()) {
            kept.readers.push_back({program_, memory_limit_, std::move(reader)});
        }
    }
}

void ReaderPool::read(std::size_t count, const Opener& open, const ReadRequest& request,
                      const Take& take, const std::function<void()>& on_tick)
{
    const Requester same = [&request](std::size_t) { return request; };
    Run(*this, count, open, same, take).go(on_tick);
}

void ReaderPool::read(std::size_t count, const Opener& open, const Requester& request,
                      const Take& take, const std::function<void()>& on_tick)
{
    Run(*this, count, open, request, take).go(on_tick);
}

}  // namespace media::detail
