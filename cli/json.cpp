#include "json.hpp"

#include <algorithm>           // std::all_of, std::equal, std::min
#include <condition_variable>  // std::condition_variable
#include <exception>           // std::exception_ptr
#include <mutex>               // std::mutex
#include <optional>            // std::optional
#include <system_error>        // std::system_error
#include <thread>              // std::thread
#include <vector>              // std::vector

#include <musiccore/loudness.hpp>

#include "text.hpp"

namespace cli {

namespace {

// As text, a name that is not UTF-8 is left out: with U+FFFD for its bytes, two such
// names could be one key twice. Every name is in the bytes' form.
Json tags_json(const media::Tags& tags, bool as_bytes)
{
    Json object = Json::object();
    for (const auto& [name, values] : tags) {
        if (!as_bytes && !is_utf8(name)) {
            continue;
        }
        Json& list = object[as_bytes ? bytes_as_characters(name) : name] = Json::array();
        for (const auto& value : values) {
            list.push_back(as_bytes ? bytes_as_characters(value) : value);
        }
    }
    return object;
}

// `value` made the text `text`, in the memory it has if it is one.
void set_text(Json& value, const std::string& text)
{
    if (value.is_string()) {
        value.get_ref<std::string&>() = text;
    } else {
        value = text;
    }
}

bool tags_utf8(const media::Tags& tags)
{
    return std::all_of(tags.begin(), tags.end(), [](const auto& tag) {
        return is_utf8(tag.first) && std::all_of(tag.second.begin(), tag.second.end(), is_utf8);
    });
}

// The same names in the same order keep their places, and their values' memory.
void set_tags(Json& object, const media::Tags& tags)
{
    const bool same_names =
        object.is_object() && object.size() == tags.size() &&
        std::equal(tags.begin(), tags.end(), object.items().begin(),
                   [](const auto& tag, const auto& item) { return tag.first == item.key(); });
    if (!same_names) {
        // Names are unique and in order: straight into the object's members.
        object = Json::object();
        auto& members = object.get_ref<Json::object_t&>();
        members.reserve(tags.size());
        for (const auto& [name, values] : tags) {
            members.emplace_back(name, Json::array_t(values.begin(), values.end()));
        }
        return;
    }
    auto item = object.begin();
    for (const auto& [name, values] : tags) {
        Json& list = *item++;
        if (list.size() != values.size()) {
            list = values;
            continue;
        }
        for (std::size_t i = 0; i < values.size(); ++i) {
            set_text(list[i], values[i]);
        }
    }
}

// Each track's value, built in the memory of the one before: a listing's tracks have
// the same keys, mostly the same tag names, and texts of like lengths. One with text
// that is not UTF-8 has keys of its own ("_bytes"), and is built anew.
// NOLINTNEXTLINE(bugprone-exception-escape): a Json frees nested values through a vector
class TrackJson {
public:
    const Json& of(const Listed& t)
    {
        const media::MediaInfo& m = t.media;
        const bool tags_are_utf8 = tags_utf8(m.tags);
        const std::string sheet(t.cue_sheet);
        const bool utf8 = is_utf8(t.path) && is_utf8(t.artist) && is_utf8(t.album) &&
                          is_utf8(t.title) && tags_are_utf8 && is_utf8(sheet);
        if (!utf8 || !reusable_) {
            track_ = Json::object();
        }
        reusable_ = utf8;
        put_text(track_, "path", t.path);
        put_text(track_, "artist", t.artist);
        put_text(track_, "album", t.album);
        put_text(track_, "title", t.title);
        track_["duration_secs"] = m.duration_secs;
        set_text(track_["duration"], clock_text(m.duration_secs));
        set_text(track_["codec"], m.codec);
        track_["channels"] = m.channels;
        track_["sample_rate"] = m.sample_rate;
        track_["samples"] = m.samples ? Json(*m.samples) : Json(nullptr);
        track_["exact"] = m.exact;
        track_["bitrate"] = m.bitrate ? Json(*m.bitrate) : Json(nullptr);
        if (tags_are_utf8) {
            set_tags(track_["tags"], m.tags);
        } else {
            track_["tags"] = tags_json(m.tags, false);
            track_["tags_bytes"] = tags_json(m.tags, true);
        }
        // The loudness the tags state, as the loudness command names its own.
        const media::StatedLoudness stated = media::stated_loudness(m.tags);
        const auto number = [](const std::optional<double>& value) {
            return value ? Json(*value) : Json(nullptr);
        };
        track_["track_gain_db"] = number(stated.track_gain_db);
        track_["track_peak"] = number(stated.track_peak);
        track_["album_gain_db"] = number(stated.album_gain_db);
        track_["album_peak"] = number(stated.album_peak);
        track_["dropped_tags"] = m.dropped_tags;
        if (!std::all_of(m.dropped_tags.begin(), m.dropped_tags.end(), is_utf8)) {
            Json& bytes = track_["dropped_tags_bytes"] = Json::array();
            for (const auto& name : m.dropped_tags) {
                bytes.push_back(bytes_as_characters(name));
            }
        }
        if (t.cue_track != 0) {
            track_["cue_track"] = t.cue_track;
            track_["start_sample"] = t.start_sample;
            put_text(track_, "cue_sheet", sheet);
            track_["cue_encoding"] = t.cue_encoding;
        } else if (track_.contains("cue_track")) {
            for (const char* key : {"cue_track", "start_sample", "cue_sheet", "cue_encoding"}) {
                track_.erase(key);
            }
        }
        track_["picture_count"] = t.pictures ? Json(*t.pictures) : Json(nullptr);
        if (t.folder_cover.empty()) {
            track_["folder_cover"] = nullptr;
        } else {
            put_text(track_, "folder_cover", t.folder_cover);
        }
        // An index counts pictures without describing them: no list, rather than an empty one.
        if (t.pictures != m.pictures.size()) {
            track_.erase("pictures");
            return track_;
        }
        Json& pictures = track_["pictures"] = Json::array();
        for (const media::Picture& picture : m.pictures) {
            Json one = {{"type", media::picture_type_name(picture.type)},
                        {"width", picture.width ? Json(*picture.width) : Json(nullptr)},
                        {"height", picture.height ? Json(*picture.height) : Json(nullptr)},
                        {"size", picture.size}};
            put_text(one, "mime_type", picture.mime_type);
            put_text(one, "description", picture.description);
            pictures.push_back(std::move(one));
        }
        return track_;
    }

private:
    Json track_;
    bool reusable_ = false;
};

}  // namespace

void Layout::append_element(std::string& text, const Json& value, bool after) const
{
    const std::string dump = this->dump(value);
    if (!pretty) {
        text += after ? "," : "";
        text += dump;
        return;
    }
    // A dump's line ends are its own (texts escape theirs): each gets the indent.
    text += after ? ",\n    " : "\n    ";
    for (std::size_t at = 0; at < dump.size();) {
        const std::size_t end = std::min(dump.find('\n', at), dump.size() - 1) + 1;
        text.append(dump, at, end - at);
        if (dump[end - 1] == '\n') {
            text += "    ";
        }
        at = end;
    }
}

std::string Layout::dump(const Json& value) const
{
    return value.dump(pretty ? 2 : -1, ' ', false, Json::error_handler_t::replace);
}

std::string Layout::member(const char* name, bool first) const
{
    return std::string(first ? "" : ",") + (pretty ? "\n  \"" : "\"") + name +
           (pretty ? "\": " : "\":");
}

std::string Layout::array_end(bool empty) const
{
    return pretty && !empty ? "\n  ]" : "]";
}

std::string Layout::end() const
{
    return pretty ? "\n}\n" : "}\n";
}

namespace {

// A listing's tracks as text on every core, a run of them at a time, written in their
// order: each run's text waits only for the runs before it. The dumps are most of a
// listing's work.
class ParallelEncoder {
public:
    ParallelEncoder(const music_library::IndexListing& listing, const Layout& layout, bool after,
                    std::ostream& out)
        : listing_(listing), layout_(layout), after_(after), out_(out),
          runs_((listing.size() + run_size - 1) / run_size)
    {
    }

    void run()
    {
        std::vector<std::thread> helpers;
        try {
            for (unsigned i = 1; i < std::thread::hardware_concurrency() && i < runs_.size(); ++i) {
                helpers.emplace_back([this] { encode_runs(false); });
            }
        } catch (const std::system_error&) {
            // No more threads to be had: the others do it all.
        }
        encode_runs(true);
        for (auto& helper : helpers) {
            helper.join();
        }
        if (error_) {
            std::rethrow_exception(error_);
        }
    }

private:
    static constexpr std::size_t run_size = 1024;
    // Runs done ahead of the one to write next, at most: what waits stays small.
    static constexpr std::size_t ahead = 8;

    // Takes runs to encode until none is left; the writer also writes them in order.
    void encode_runs(bool writer)
    {
        TrackJson tracks;
        std::string path;
        TrackInfo texts;
        media::MediaInfo media;
        for (;;) {
            std::size_t run = 0;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [&] {
                    return error_ || next_ == runs_.size() || next_ < written_ + ahead ||
                           (writer && runs_[written_]);
                });
                if (writer) {
                    write_ready(lock);
                }
                if (error_ || next_ == runs_.size()) {
                    if (writer) {
                        finish_writing(lock);
                    }
                    return;
                }
                if (next_ >= written_ + ahead) {
                    continue;
                }
                run = next_++;
            }
            std::string text;
            const std::string no_cover;  // the index keeps none
            try {
                const std::size_t end = std::min(listing_.size(), (run + 1) * run_size);
                for (std::size_t i = run * run_size; i < end; ++i) {
                    listing_.track(i, path, texts, media);
                    layout_.append_element(
                        text,
                        tracks.of({path, texts.artist, texts.album, texts.title, media,
                                   listing_.pictures(i), no_cover, listing_.cue_track(i),
                                   listing_.start_sample(i), listing_.cue_sheet(i),
                                   listing_.cue_encoding(i)}),
                        after_ || i > 0);
                }
            } catch (...) {
                const std::lock_guard<std::mutex> lock(mutex_);
                error_ = std::current_exception();
                changed_.notify_all();
                continue;
            }
            const std::lock_guard<std::mutex> lock(mutex_);
            runs_[run] = std::move(text);
            changed_.notify_all();
        }
    }

    // Writes the runs that are done, in order, without the lock.
    void write_ready(std::unique_lock<std::mutex>& lock)
    {
        while (written_ < runs_.size() && runs_[written_]) {
            const std::string text = std::move(*runs_[written_]);
            runs_[written_].reset();
            lock.unlock();
            out_ << text;
            lock.lock();
            ++written_;
            changed_.notify_all();
        }
    }

    void finish_writing(std::unique_lock<std::mutex>& lock)
    {
        while (!error_ && written_ < runs_.size()) {
            changed_.wait(lock, [&] { return error_ || runs_[written_].has_value(); });
            write_ready(lock);
        }
    }

    const music_library::IndexListing& listing_;
    const Layout& layout_;
    const bool after_;
    std::ostream& out_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::optional<std::string>> runs_;  // done, not yet written
    std::size_t next_ = 0;                          // to encode
    std::size_t written_ = 0;
    std::exception_ptr error_;
};

// The document, its tracks written as they come: a listing of many files is never
// whole in memory. Each value is nlohmann's, indented as a dump of the whole document
// would have it.
class JsonPrinter : public TrackPrinter {
public:
    JsonPrinter(std::ostream& out, bool pretty) : out_(out), layout_{pretty}
    {
        out_ << '{' << layout_.member("version", true) << json_version
             << layout_.member("tracks", false) << '[';
    }

    void track(const Listed& t) override { element(tracks_.of(t)); }

    void tracks(const music_library::IndexListing& listing) override
    {
        ParallelEncoder(listing, layout_, any_, out_).run();
        any_ = any_ || listing.size() > 0;
    }

    void finish(std::size_t skipped) override
    {
        out_ << layout_.array_end(!any_) << layout_.member("failures", false) << '[';
        any_ = false;
        for (const auto& f : failures_) {
            Json failure = Json::object();
            put_text(failure, "path", f.path.string());
            put_text(failure, "message", f.message);
            element(failure);
        }
        out_ << layout_.array_end(!any_) << layout_.member("skipped", false) << skipped
             << layout_.end();
    }

private:
    void element(const Json& value)
    {
        text_.clear();
        layout_.append_element(text_, value, any_);
        any_ = true;
        out_ << text_;
    }

    std::ostream& out_;
    const Layout layout_;
    TrackJson tracks_;
    std::string text_;  // of the latest element: its memory serves the next
    bool any_ = false;
};

}  // namespace

void put_text(Json& object, const std::string& key, const std::string& text)
{
    set_text(object[key], text);
    if (!is_utf8(text)) {
        object[key + "_bytes"] = bytes_as_characters(text);
    }
}

std::unique_ptr<TrackPrinter> json_printer(std::ostream& out, bool pretty)
{
    return std::make_unique<JsonPrinter>(out, pretty);
}

}  // namespace cli
