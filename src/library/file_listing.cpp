#include "library/file_listing.hpp"

#include <algorithm>           // std::sort, std::mismatch, std::max
#include <cerrno>              // errno
#include <condition_variable>  // std::condition_variable
#include <iterator>            // std::back_inserter
#include <memory>              // std::unique_ptr
#include <mutex>               // std::mutex
#include <optional>            // std::optional
#include <string_view>         // std::string_view
#include <system_error>        // std::error_code, std::errc, std::generic_category
#include <thread>              // std::thread

#include <dirent.h>    // fdopendir, readdir
#include <fcntl.h>     // openat, O_*
#include <sys/stat.h>  // fstatat
#include <unistd.h>    // close

#include "formats/format_table.hpp"

namespace music_library::detail {

namespace fs = std::filesystem;

namespace {

// File names are compared in ASCII: no locale may change them.
std::string ascii_lower(std::string_view text)
{
    std::string lower(text);
    for (char& c : lower) {
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return lower;
}

}  // namespace

std::string lower_extension(const fs::path& file)
{
    return ascii_lower(file.extension().string());
}

namespace {

bool may_be_audio(std::string_view name)
{
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || name.size() - dot > 5) {
        return false;  // a name that is only an extension has none
    }
    return is_audio_extension(ascii_lower(name.substr(dot)));
}

// How good a name is for a folder's cover image: 0 none, then the better the higher.
int cover_rank(std::string_view name)
{
    constexpr std::string_view names[] = {"front.png",  "front.jpeg",  "front.jpg",
                                          "folder.png", "folder.jpeg", "folder.jpg",
                                          "cover.png",  "cover.jpeg",  "cover.jpg"};
    if (name.size() > 11) {
        return 0;
    }
    const std::string lower = ascii_lower(name);
    for (std::size_t i = 0; i < std::size(names); ++i) {
        if (lower == names[i]) {
            return static_cast<int>(i) + 1;
        }
    }
    return 0;
}

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using ScopedDir = std::unique_ptr<DIR, DirCloser>;

FileState state_of(const struct stat& info)
{
    constexpr std::int64_t billion = 1000000000;
    return {static_cast<std::int64_t>(info.st_dev), static_cast<std::int64_t>(info.st_ino),
            static_cast<std::int64_t>(info.st_size),
            info.st_mtim.tv_sec * billion + info.st_mtim.tv_nsec,
            info.st_ctim.tv_sec * billion + info.st_ctim.tv_nsec};
}

// A new descriptor of `folder`, a folder under `root` (whose descriptor is `root_fd`),
// reached from the root one name at a time and through no link.
int open_below(int root_fd, const std::string& root, const std::string& folder)
{
    std::string_view rest(folder);
    rest.remove_prefix(std::min(root.size(), rest.size()));
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg)
    int fd = ::openat(root_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    while (fd >= 0 && !rest.empty()) {
        rest.remove_prefix(rest.front() == '/' ? 1 : 0);
        const std::string name(rest.substr(0, rest.find('/')));
        rest.remove_prefix(name.size());
        constexpr int below = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        const int next = ::openat(fd, name.c_str(), below);  // NOLINT(*-pro-type-vararg)
        const int error = errno;
        ::close(fd);
        errno = error;
        fd = next;
    }
    return fd;
}

// The root as the walk takes it: a link to a folder is followed, once.
int open_root(const std::string& root)
{
    return ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);  // NOLINT(*-vararg)
}

// The folders still to list, shared by the threads that list them, and the root's
// descriptor, which every folder is reached from.
class Folders {
public:
    Folders(std::string root, int root_fd)
        : root_(root), root_fd_(root_fd), pending_{std::move(root)}
    {
    }
    Folders(const Folders&) = delete;
    Folders& operator=(const Folders&) = delete;
    Folders(Folders&&) = delete;
    Folders& operator=(Folders&&) = delete;
    ~Folders() { ::close(root_fd_); }

    // A new descriptor of `folder`, reached from the root's one name at a time and
    // through no link (the root itself may be one, taken once at the start): whatever
    // is renamed or replaced while the walk goes on, it opens nothing outside the root.
    int open(const std::string& folder) const { return open_below(root_fd_, root_, folder); }

    // The next folder to list, waiting while others may yet find some; none when all
    // is listed.
    std::optional<std::string> next()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return !pending_.empty() || busy_ == 0; });
        if (pending_.empty()) {
            return std::nullopt;
        }
        std::string folder = std::move(pending_.back());
        pending_.pop_back();
        ++busy_;
        return folder;
    }

    void add(std::string folder)
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        pending_.push_back(std::move(folder));
        changed_.notify_one();
    }

    void done()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (--busy_ == 0) {
            changed_.notify_all();
        }
    }

private:
    const std::string root_;
    const int root_fd_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> pending_;
    std::size_t busy_ = 0;
};

// A sheet's name and state, as one line; a sheet that cannot be looked at has none.
std::string sheet_state(int parent, std::string_view name)
{
    std::string line(name);
    struct stat info {};
    if (fstatat(parent, line.c_str(), &info, 0) == 0) {
        const FileState state = state_of(info);
        for (const std::int64_t value :
             {state.device, state.inode, state.size, state.mtime_ns, state.ctime_ns}) {
            line += ' ';
            line += std::to_string(value);
        }
    }
    return line;
}

// One thread's part of the listing: each folder's entries relative to the folder's
// own descriptor, so that no path is looked up again.
class Walk {
public:
    Walk(Folders& folders, Listing& listing) : folders_(folders), listing_(listing) {}

    void run()
    {
        while (std::optional<std::string> folder = folders_.next()) {
            list(*folder);
            folders_.done();
        }
    }

private:
    void list(const std::string& path)
    {
        const int fd = folders_.open(path);
        ScopedDir dir(fd >= 0 ? fdopendir(fd) : nullptr);
        if (!dir) {
            if (fd >= 0) {
                ::close(fd);
            }
            fail(path);
            return;
        }
        errno = 0;
        cover_.clear();
        cover_rank_ = 0;
        while (const dirent* entry = readdir(dir.get())) {
            this->entry(dirfd(dir.get()), path, entry);
            errno = 0;
        }
        if (errno != 0) {
            fail(path);
        }
        if (cover_rank_ > 0) {
            listing_.covers.emplace(path, cover_);
        }
        if (!sheets_.empty()) {
            // In the order of names, whatever order the folder lists them in.
            std::sort(sheets_.begin(), sheets_.end());
            std::string state;
            for (const std::string& sheet : sheets_) {
                state += sheet;
                state += '\n';
            }
            listing_.sheet_folders.emplace(path, std::move(state));
            sheets_.clear();
        }
    }

    void entry(int parent, const std::string& folder, const dirent* entry)
    {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") {
            return;
        }
        std::string path = folder;
        if (path.back() != '/') {
            path += '/';
        }
        path += name;
        struct stat info {};
        if (entry->d_type == DT_DIR ||
            (entry->d_type == DT_UNKNOWN &&
             fstatat(parent, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
             S_ISDIR(info.st_mode))) {
            folders_.add(std::move(path));  // never through a link: no loop can trap it
            return;
        }
        // A regular file, or a link to one (followed, as a file link is taken).
        if ((entry->d_type == DT_REG || entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) &&
            may_be_audio(name) && fstatat(parent, entry->d_name, &info, 0) == 0 &&
            S_ISREG(info.st_mode)) {
            listing_.files.push_back(std::move(path));
            listing_.states.push_back(state_of(info));
        } else if (lower_extension(std::string(name)) == ".cue") {
            sheets_.push_back(sheet_state(parent, name));
        } else if (const int rank = cover_rank(name);
                   rank > cover_rank_ && fstatat(parent, entry->d_name, &info, 0) == 0 &&
                   S_ISREG(info.st_mode)) {
            cover_ = name;
            cover_rank_ = rank;
        }
    }

    void fail(const std::string& path)
    {
        listing_.failures.push_back(
            {path, "cannot list the folder: " + std::generic_category().message(errno)});
    }

    Folders& folders_;
    Listing& listing_;
    std::string cover_;  // the best cover image of the folder being listed
    int cover_rank_ = 0;
    std::vector<std::string> sheets_;  // the .cue files of the folder being listed
};

void sort_by_path(Listing& listing)
{
    std::vector<std::size_t> order(listing.files.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::sort(order.begin(), order.end(), [&listing](std::size_t a, std::size_t b) {
        return path_order(listing.files[a], listing.files[b]);
    });
    Listing sorted;
    sorted.root = std::move(listing.root);
    sorted.failures = std::move(listing.failures);
    sorted.covers = std::move(listing.covers);
    sorted.sheet_folders = std::move(listing.sheet_folders);
    for (const std::size_t i : order) {
        sorted.files.push_back(std::move(listing.files[i]));
        sorted.states.push_back(listing.states[i]);
    }
    listing = std::move(sorted);
}

}  // namespace

bool path_order(const std::string& a, const std::string& b)
{
    const std::size_t common = std::min(a.size(), b.size());
    const auto differ =
        std::mismatch(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(common), b.begin());
    if (differ.first == a.begin() + static_cast<std::ptrdiff_t>(common)) {
        return a.size() < b.size();
    }
    const auto rank = [](char c) { return c == '/' ? 0U : static_cast<unsigned char>(c) + 1U; };
    return rank(*differ.first) < rank(*differ.second);
}

bool beside_a_sheet(const Listing& listing, const std::string& file)
{
    const std::size_t slash = file.rfind('/');
    return slash != std::string::npos && listing.sheet_folders.count(file.substr(0, slash)) > 0;
}

const std::string& sheets_state(const Listing& listing, const std::string& file)
{
    static const std::string none;
    const std::size_t slash = file.rfind('/');
    if (slash == std::string::npos) {
        return none;
    }
    const auto folder = listing.sheet_folders.find(file.substr(0, slash));
    return folder == listing.sheet_folders.end() ? none : folder->second;
}

const std::string& folder_cover(const Listing& listing, const std::string& file)
{
    static const std::string none;
    const auto slash = file.rfind('/');
    const auto found = slash == std::string::npos ? listing.covers.end()
                                                  : listing.covers.find(file.substr(0, slash));
    return found == listing.covers.end() ? none : found->second;
}

bool is_audio_extension(const std::string& extension)
{
    return media::detail::listed_extension(extension);
}

Listing list_files(const fs::path& root, unsigned jobs, bool sorted)
{
    // The root may be a link to a folder: it is followed, once.
    const int root_fd = open_root(root.string());
    if (root_fd < 0) {
        const int error = errno;
        struct stat info {};
        if (::stat(root.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            Listing unlisted;  // a folder there, that cannot be listed
            unlisted.failures.push_back(
                {root.string(),
                 "cannot list the folder: " + std::generic_category().message(error)});
            return unlisted;
        }
        const bool exists = errno != ENOENT || ::lstat(root.c_str(), &info) == 0;
        throw fs::filesystem_error(
            "cannot scan", root,
            std::make_error_code(exists ? std::errc::not_a_directory
                                        : std::errc::no_such_file_or_directory));
    }
    Folders folders(root.string(), root_fd);
    std::vector<Listing> parts(std::max(jobs, 1U));
    {
        std::vector<std::thread> threads;
        try {
            for (std::size_t i = 1; i < parts.size(); ++i) {
                threads.emplace_back([&folders, &part = parts[i]] { Walk(folders, part).run(); });
            }
        } catch (const std::system_error&) {
            // No more threads to be had (a process limit): the others list it all.
        }
        Walk(folders, parts[0]).run();
        for (auto& thread : threads) {
            thread.join();
        }
    }
    Listing listing = std::move(parts[0]);
    listing.root = root.string();
    for (std::size_t i = 1; i < parts.size(); ++i) {
        std::move(parts[i].files.begin(), parts[i].files.end(), std::back_inserter(listing.files));
        listing.states.insert(listing.states.end(), parts[i].states.begin(), parts[i].states.end());
        listing.failures.insert(listing.failures.end(), parts[i].failures.begin(),
                                parts[i].failures.end());
        listing.covers.merge(parts[i].covers);
        listing.sheet_folders.merge(parts[i].sheet_folders);
    }
    if (sorted) {
        sort_by_path(listing);
    }
    return listing;
}

media::detail::OpenedFile ListedOpener::open(std::size_t file)
{
    using media::detail::OpenedFile;
    using media::detail::UniqueFd;
    const auto failed = [](std::string why) {
        OpenedFile none;
        none.failure = std::move(why);
        return none;
    };
    const std::string& path = listing_.files[file];
    const auto slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash);
    if (!root_) {
        root_.reset(open_root(listing_.root));
        if (!root_) {
            return failed(std::generic_category().message(errno));
        }
    }
    if (!folder_fd_ || folder != folder_) {
        folder_.clear();
        folder_fd_.reset(open_below(root_.get(), listing_.root, folder));
        if (!folder_fd_) {
            return failed(std::generic_category().message(errno));
        }
        folder_ = folder;
    }
    const char* name = path.c_str() + (slash == std::string::npos ? 0 : slash + 1);
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg)
    UniqueFd fd(::openat(folder_fd_.get(), name, media::detail::read_flags | O_NOFOLLOW));
    if (!fd && errno == ELOOP) {  // a link to a file, which the walk takes
        fd.reset(::openat(folder_fd_.get(), name, media::detail::read_flags));  // NOLINT
    }
    if (!fd) {
        return failed(std::generic_category().message(errno));
    }
    OpenedFile opened = media::detail::opened(std::move(fd), true);
    const FileState& listed = listing_.states[file];
    if (opened.fd && (opened.device != listed.device || opened.inode != listed.inode)) {
        return failed("the file was replaced after it was listed");
    }
    return opened;
}

}  // namespace music_library::detail
