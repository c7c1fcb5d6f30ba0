#include "tags/id3_tags.hpp"

#include <algorithm>    // std::all_of, std::find_if, std::min
#include <cstdint>      // std::uint32_t
#include <iterator>     // std::size
#include <string>       // std::string
#include <string_view>  // std::string_view
#include <vector>       // std::vector

#include <musiccore/media.hpp>  // the tag limits

#include "tags/pictures.hpp"

namespace media::detail {

namespace {

constexpr std::size_t header_size = 10;

// The genres that ID3v1 numbers, and ID3v2 refers to as "(17)" or "17": the
// standard's 80 and Winamp's additions.
constexpr const char* genres[] = {
    "Blues",
    "Classic Rock",
    "Country",
    "Dance",
    "Disco",
    "Funk",
    "Grunge",
    "Hip-Hop",
    "Jazz",
    "Metal",
    "New Age",
    "Oldies",
    "Other",
    "Pop",
    "R&B",
    "Rap",
    "Reggae",
    "Rock",
    "Techno",
    "Industrial",
    "Alternative",
    "Ska",
    "Death Metal",
    "Pranks",
    "Soundtrack",
    "Euro-Techno",
    "Ambient",
    "Trip-Hop",
    "Vocal",
    "Jazz+Funk",
    "Fusion",
    "Trance",
    "Classical",
    "Instrumental",
    "Acid",
    "House",
    "Game",
    "Sound Clip",
    "Gospel",
    "Noise",
    "AlternRock",
    "Bass",
    "Soul",
    "Punk",
    "Space",
    "Meditative",
    "Instrumental Pop",
    "Instrumental Rock",
    "Ethnic",
    "Gothic",
    "Darkwave",
    "Techno-Industrial",
    "Electronic",
    "Pop-Folk",
    "Eurodance",
    "Dream",
    "Southern Rock",
    "Comedy",
    "Cult",
    "Gangsta",
    "Top 40",
    "Christian Rap",
    "Pop/Funk",
    "Jungle",
    "Native American",
    "Cabaret",
    "New Wave",
    "Psychedelic",
    "Rave",
    "Showtunes",
    "Trailer",
    "Lo-Fi",
    "Tribal",
    "Acid Punk",
    "Acid Jazz",
    "Polka",
    "Retro",
    "Musical",
    "Rock & Roll",
    "Hard Rock",
    "Folk",
    "Folk-Rock",
    "National Folk",
    "Swing",
    "Fast Fusion",
    "Bebop",
    "Latin",
    "Revival",
    "Celtic",
    "Bluegrass",
    "Avantgarde",
    "Gothic Rock",
    "Progressive Rock",
    "Psychedelic Rock",
    "Symphonic Rock",
    "Slow Rock",
    "Big Band",
    "Chorus",
    "Easy Listening",
    "Acoustic",
    "Humour",
    "Speech",
    "Chanson",
    "Opera",
    "Chamber Music",
    "Sonata",
    "Symphony",
    "Booty Bass",
    "Primus",
    "Porn Groove",
    "Satire",
    "Slow Jam",
    "Club",
    "Tango",
    "Samba",
    "Folklore",
    "Ballad",
    "Power Ballad",
    "Rhythmic Soul",
    "Freestyle",
    "Duet",
    "Punk Rock",
    "Drum Solo",
    "A capella",
    "Euro-House",
    "Dance Hall",
    "Goa",
    "Drum & Bass",
    "Club-House",
    "Hardcore Techno",
    "Terror",
    "Indie",
    "BritPop",
    "Negerpunk",
    "Polsk Punk",
    "Beat",
    "Christian Gangsta Rap",
    "Heavy Metal",
    "Black Metal",
    "Crossover",
    "Contemporary Christian",
    "Christian Rock",
    "Merengue",
    "Salsa",
    "Thrash Metal",
    "Anime",
    "Jpop",
    "Synthpop",
    "Abstract",
    "Art Rock",
    "Baroque",
    "Bhangra",
    "Big Beat",
    "Breakbeat",
    "Chillout",
    "Downtempo",
    "Dub",
    "EBM",
    "Eclectic",
    "Electro",
    "Electroclash",
    "Emo",
    "Experimental",
    "Garage",
    "Global",
    "IDM",
    "Illbient",
    "Industro-Goth",
    "Jam Band",
    "Krautrock",
    "Leftfield",
    "Lounge",
    "Math Rock",
    "New Romantic",
    "Nu-Breakz",
    "Post-Punk",
    "Post-Rock",
    "Psytrance",
    "Shoegaze",
    "Space Rock",
    "Trop Rock",
    "World Music",
    "Neoclassical",
    "Audiobook",
    "Audio Theatre",
    "Neue Deutsche Welle",
    "Podcast",
    "Indie Rock",
    "G-Funk",
    "Dubstep",
    "Garage Rock",
    "Psybient",
};

// Frames with a name of their own; other text frames keep their ID.
struct Name {
    const char* id;
    const char* name;
};
constexpr Name names[] = {
    {"TPE1", "ARTIST"},
    {"TALB", "ALBUM"},
    {"TIT2", "TITLE"},
    {"TPE2", "ALBUMARTIST"},
    {"TRCK", "TRACKNUMBER"},
    {"TPOS", "DISCNUMBER"},
    {"TYER", "DATE"},
    {"TDRC", "DATE"},
    {"TCON", "GENRE"},
    {"TCOM", "COMPOSER"},
    {"TPE3", "CONDUCTOR"},
    {"TPE4", "REMIXER"},
    {"TEXT", "LYRICIST"},
    {"TIT1", "GROUPING"},
    {"TIT3", "SUBTITLE"},
    {"TPUB", "LABEL"},
    {"TSRC", "ISRC"},
    {"TBPM", "BPM"},
    {"TCOP", "COPYRIGHT"},
    {"TENC", "ENCODEDBY"},
    {"TSSE", "ENCODER"},
    {"TLAN", "LANGUAGE"},
    {"TMED", "MEDIA"},
    {"TKEY", "KEY"},
    {"TOPE", "ORIGINALARTIST"},
    {"TDOR", "ORIGINALDATE"},
    {"TORY", "ORIGINALDATE"},
    {"TSOP", "ARTISTSORT"},
    {"TSOA", "ALBUMSORT"},
    {"TSOT", "TITLESORT"},
    {"TSO2", "ALBUMARTISTSORT"},
    {"TCMP", "COMPILATION"},
};

// TXXX descriptions that name a tag of its own elsewhere (as MusicBrainz Picard and
// the AcoustID tools write them), in any letter case; others are named by their
// description as it is.
constexpr Name descriptions[] = {
    {"MUSICBRAINZ TRACK ID", "MUSICBRAINZ_TRACKID"},
    {"MUSICBRAINZ ALBUM ID", "MUSICBRAINZ_ALBUMID"},
    {"MUSICBRAINZ ARTIST ID", "MUSICBRAINZ_ARTISTID"},
    {"MUSICBRAINZ ALBUM ARTIST ID", "MUSICBRAINZ_ALBUMARTISTID"},
    {"MUSICBRAINZ RELEASE GROUP ID", "MUSICBRAINZ_RELEASEGROUPID"},
    {"MUSICBRAINZ RELEASE TRACK ID", "MUSICBRAINZ_RELEASETRACKID"},
    {"MUSICBRAINZ WORK ID", "MUSICBRAINZ_WORKID"},
    {"MUSICBRAINZ DISC ID", "MUSICBRAINZ_DISCID"},
    {"MUSICBRAINZ ALBUM TYPE", "RELEASETYPE"},
    {"MUSICBRAINZ ALBUM STATUS", "RELEASESTATUS"},
    {"MUSICBRAINZ ALBUM RELEASE COUNTRY", "RELEASECOUNTRY"},
    {"ACOUSTID ID", "ACOUSTID_ID"},
    {"ACOUSTID FINGERPRINT", "ACOUSTID_FINGERPRINT"},
};

// ID3v2.2's three-letter frames, by their later names.
constexpr Name v22_names[] = {
    {"TT1", "TIT1"}, {"TT2", "TIT2"}, {"TT3", "TIT3"}, {"TP1", "TPE1"}, {"TP2", "TPE2"},
    {"TP3", "TPE3"}, {"TP4", "TPE4"}, {"TCM", "TCOM"}, {"TXT", "TEXT"}, {"TLA", "TLAN"},
    {"TCO", "TCON"}, {"TAL", "TALB"}, {"TPA", "TPOS"}, {"TRK", "TRCK"}, {"TRC", "TSRC"},
    {"TYE", "TYER"}, {"TDA", "TDAT"}, {"TBP", "TBPM"}, {"TCR", "TCOP"}, {"TPB", "TPUB"},
    {"TEN", "TENC"}, {"TSS", "TSSE"}, {"TOA", "TOPE"}, {"TOR", "TORY"}, {"TKE", "TKEY"},
    {"TMT", "TMED"}, {"TCP", "TCMP"}, {"TS2", "TSO2"}, {"TSA", "TSOA"}, {"TSP", "TSOP"},
    {"TST", "TSOT"}, {"TXX", "TXXX"}, {"COM", "COMM"}, {"ULT", "USLT"}, {"UFI", "UFID"},
};

// A genre as ID3 writes it: "(17)", "17", "(17)Rock" or a name.
std::string genre(std::string_view value)
{
    std::string_view number = value;
    if (!value.empty() && value.front() == '(') {
        const auto close = value.find(')');
        if (close != std::string_view::npos && close + 1 < value.size()) {
            return std::string(value.substr(close + 1));  // the refinement's own text
        }
        number = value.substr(1, close == std::string_view::npos ? 0 : close - 1);
    }
    if (number.empty() || number.size() > 3 ||
        number.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::string(value);
    }
    const std::size_t index = std::stoul(std::string(number));
    return index < std::size(genres) ? genres[index] : std::string(value);
}

void add_text(TagCollector& tags, const std::string& name, std::string_view value)
{
    if (name == "TRACKNUMBER") {
        tags.add_numbered("TRACKNUMBER", "TRACKTOTAL", value);
    } else if (name == "DISCNUMBER") {
        tags.add_numbered("DISCNUMBER", "DISCTOTAL", value);
    } else if (name == "GENRE") {
        tags.add(name, genre(value));
    } else {
        tags.add(name, value);
    }
}

void append_utf8(std::string& text, std::uint32_t point)
{
    if (point < 0x80) {
        text += static_cast<char>(point);
    } else if (point < 0x800) {
        text += static_cast<char>(0xC0U | point >> 6U);
        text += static_cast<char>(0x80U | (point & 0x3FU));
    } else if (point < 0x10000) {
        text += static_cast<char>(0xE0U | point >> 12U);
        text += static_cast<char>(0x80U | (point >> 6U & 0x3FU));
        text += static_cast<char>(0x80U | (point & 0x3FU));
    } else {
        text += static_cast<char>(0xF0U | point >> 18U);
        text += static_cast<char>(0x80U | (point >> 12U & 0x3FU));
        text += static_cast<char>(0x80U | (point >> 6U & 0x3FU));
        text += static_cast<char>(0x80U | (point & 0x3FU));
    }
}

std::string from_latin1(std::string_view bytes)
{
    std::string text;
    for (const char c : bytes) {
        append_utf8(text, static_cast<unsigned char>(c));
    }
    return text;
}

// UTF-16, big-endian unless a byte order mark says otherwise; what does not decode is
// U+FFFD.
std::string from_utf16(std::string_view bytes, bool big_endian)
{
    if (bytes.size() >= 2) {
        const auto mark =
            static_cast<unsigned char>(bytes[0]) << 8U | static_cast<unsigned char>(bytes[1]);
        if (mark == 0xFEFF || mark == 0xFFFE) {
            big_endian = mark == 0xFEFF;
            bytes.remove_prefix(2);
        }
    }
    const auto unit = [&](std::size_t at) {
        const unsigned a = static_cast<unsigned char>(bytes[at]);
        const unsigned b = static_cast<unsigned char>(bytes[at + 1]);
        return big_endian ? a << 8U | b : b << 8U | a;
    };
    std::string text;
    for (std::size_t at = 0; at + 1 < bytes.size(); at += 2) {
        const std::uint32_t high = unit(at);
        if (high >= 0xD800 && high < 0xDC00 && at + 3 < bytes.size()) {
            const std::uint32_t low = unit(at + 2);
            if (low >= 0xDC00 && low < 0xE000) {
                append_utf8(text, 0x10000 + ((high - 0xD800) << 10U) + (low - 0xDC00));
                at += 2;
                continue;
            }
        }
        append_utf8(text, high >= 0xD800 && high < 0xE000 ? 0xFFFD : high);
    }
    return text;
}

// An ID3v2 text in `encoding` (0 Latin-1, 1 UTF-16, 2 UTF-16BE, 3 UTF-8), up to its
// terminator, as UTF-8; `text` is left past the terminator.
std::string next_text(std::string_view& text, unsigned encoding)
{
    const bool wide = encoding == 1 || encoding == 2;
    std::size_t end = 0;
    while (end < text.size() &&
           !(text[end] == '\0' && (!wide || (end + 1 < text.size() && text[end + 1] == '\0')))) {
        end += wide ? 2 : 1;
    }
    const std::string_view value = text.substr(0, std::min(end, text.size()));
    text.remove_prefix(std::min(text.size(), end + (wide ? 2 : 1)));
    if (wide) {
        return from_utf16(value, encoding == 2 || encoding == 1);
    }
    return encoding == 0 ? from_latin1(value) : std::string(value);
}

std::string name_of(std::string_view id)
{
    for (const auto& known : names) {
        if (id == known.id) {
            return known.name;
        }
    }
    return std::string(id);
}

// An APIC frame (past its encoding): a MIME type, or in version 2.2 three letters of
// format; the picture's type, its description, its bytes. A MIME type of "-->" links
// to a picture elsewhere, which is none of the file's.
void add_picture(TagCollector& tags, std::string_view data, unsigned encoding, bool v22)
{
    std::string mime_type;
    if (v22) {
        const std::string format = ascii_upper(data.substr(0, 3));
        mime_type = format == "JPG" ? "image/jpeg" : format == "PNG" ? "image/png" : "";
        data.remove_prefix(std::min<std::size_t>(3, data.size()));
    } else {
        const std::size_t end = std::min(data.find('\0'), data.size());
        mime_type = from_latin1(data.substr(0, end));
        data.remove_prefix(std::min(end + 1, data.size()));
    }
    if (data.empty() || mime_type == "-->") {
        return;
    }
    const auto type = static_cast<unsigned char>(data[0]);
    data.remove_prefix(1);
    std::string description = next_text(data, encoding);
    Picture picture = stated_picture(type, std::move(mime_type), std::move(description));
    if (picture.mime_type.empty()) {
        picture.mime_type = sniffed_mime_type(data);
    }
    tags.add_picture(std::move(picture), data);
}

// One frame's values, by its (ID3v2.3 and 2.4) id: text frames, TXXX by their
// description, comments without one, lyrics, and MusicBrainz's recording id.
void add_frame(TagCollector& tags, std::string_view id, std::string_view data)
{
    if (data.empty()) {
        return;
    }
    if (id == "UFID") {  // an owner's URL, then its id of the recording, in bytes
        const auto end = data.find('\0');
        if (end != std::string_view::npos && data.substr(0, end) == "http://musicbrainz.org" &&
            end + 1 < data.size()) {
            tags.add("MUSICBRAINZ_TRACKID", data.substr(end + 1));
        }
        return;
    }
    const auto encoding = static_cast<unsigned char>(data[0]);
    data.remove_prefix(1);
    if (encoding > 3) {
        return;
    }
    if (id == "APIC" || id == "PIC") {
        add_picture(tags, data, encoding, id == "PIC");
        return;
    }
    if (id == "COMM" || id == "USLT") {
        data.remove_prefix(std::min<std::size_t>(3, data.size()));  // the language
        const std::string description = next_text(data, encoding);
        // Only comments without a description are the listener's: the others are
        // players' notes (iTunNORM, ...).
        if (id == "USLT" || description.empty()) {
            tags.add(id == "USLT" ? "LYRICS" : "COMMENT", next_text(data, encoding));
        }
        return;
    }
    if (id.front() != 'T') {
        return;
    }
    if (id == "TDAT") {  // ID3v2.3's day and month, apart from TYER's year
        tags.add_day_and_month(next_text(data, encoding));
        return;
    }
    const std::string name =
        id == "TXXX" ? described_tag_name(next_text(data, encoding)) : name_of(id);
    if (name.empty()) {
        return;  // a TXXX without a description names nothing
    }
    // Several values of a frame, each after the last one's terminator.
    while (!data.empty()) {
        const std::string value = next_text(data, encoding);
        if (!value.empty()) {
            add_text(tags, name, value);
        }
    }
}

std::uint32_t be_size(const unsigned char* p, unsigned bytes, bool synchsafe)
{
    std::uint32_t size = 0;
    for (unsigned i = 0; i < bytes; ++i) {
        size = synchsafe ? size << 7U | (p[i] & 0x7FU) : size << 8U | p[i];
    }
    return size;
}

// ID3's unsynchronisation undone: 0xFF 0x00 stands for 0xFF.
std::string resynchronised(std::string_view bytes)
{
    std::string plain;
    plain.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        plain += bytes[i];
        if (bytes[i] == '\xFF' && i + 1 < bytes.size() && bytes[i + 1] == '\0') {
            ++i;
        }
    }
    return plain;
}

bool frame_id(std::string_view id)
{
    return std::all_of(id.begin(), id.end(),
                       [](char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); });
}

// The size of a frame of version 2.`major` that begins at `frame`: 2.4 sizes are
// synchsafe, but for some writers' that are not.
std::size_t frame_size(const unsigned char* frame, unsigned major)
{
    if (major == 2) {
        return be_size(frame + 3, 3, false);
    }
    const bool synchsafe = major == 4 && (frame[4] | frame[5] | frame[6] | frame[7]) < 0x80;
    return be_size(frame + 4, 4, synchsafe);
}

// One frame of version 2.`major`, its format flags `format` and those of its tag,
// `flags`: named as in 2.3 and 2.4, and as stored.
void add_stored_frame(TagCollector& tags, unsigned major, unsigned flags, std::string_view id,
                      unsigned format, std::string_view data)
{
    if (major == 2) {
        const auto* const known = std::find_if(std::begin(v22_names), std::end(v22_names),
                                               [id](const Name& name) { return id == name.id; });
        if (known != std::end(v22_names)) {
            add_frame(tags, known->name, data);
        } else if (id == "PIC") {
            add_frame(tags, id, data);
        }
        return;
    }
    const bool packed = major == 3 ? (format & 0xC0U) != 0 : (format & 0x0CU) != 0;
    if (packed) {
        return;  // compressed or encrypted: not read
    }
    if (major == 3 && (format & 0x20U) != 0) {
        data.remove_prefix(std::min<std::size_t>(1, data.size()));  // a group
    }
    if (major == 4 && (format & 0x01U) != 0) {
        data.remove_prefix(std::min<std::size_t>(4, data.size()));  // a length
    }
    if (major == 4 && ((format & 0x02U) != 0 || (flags & 0x80U) != 0)) {
        add_frame(tags, id, resynchronised(data));
        return;
    }
    add_frame(tags, id, data);
}

// The frames of a tag's body (past its header) of version 2.`major` with header
// `flags`; null, or why there are too many.
const char* add_frames(std::string body, unsigned major, unsigned flags, TagCollector& tags,
                       std::size_t& frames)
{
    if ((flags & 0x80U) != 0 && major < 4) {  // the whole tag unsynchronised
        body = resynchronised(body);
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(body.data());
    std::size_t pos = 0;
    if (major > 2 && (flags & 0x40U) != 0 && body.size() >= 4) {  // an extended header
        pos = major == 3 ? 4 + be_size(bytes, 4, false) : be_size(bytes, 4, true);
    }
    const std::size_t header = major == 2 ? 6 : 10;
    const std::size_t id_size = major == 2 ? 3 : 4;
    while (pos + header <= body.size() && frame_id(std::string_view(body).substr(pos, id_size))) {
        const unsigned char* frame = bytes + pos;
        const std::size_t size = frame_size(frame, major);
        if (size > body.size() - pos - header) {
            tags.drop("ID3v2");  // a frame past its tag: it, and those after it, not read
            break;
        }
        if (++frames > max_tag_count) {
            return "more than 10000 tags";
        }
        add_stored_frame(tags, major, flags, std::string_view(body).substr(pos, id_size),
                         major == 2 ? 0 : frame[9],
                         std::string_view(body).substr(pos + header, size));
        pos += header + size;
    }
    return nullptr;
}

// ID3v1 text: fixed fields of Latin-1, padded with zeros or spaces.
void add_latin1(TagCollector& tags, const char* name, std::string_view field)
{
    field = field.substr(0, field.find('\0'));
    field = field.substr(0, field.find_last_not_of(' ') + 1);
    if (!field.empty()) {
        tags.add(name, from_latin1(field));
    }
}

}  // namespace

std::string described_tag_name(const std::string& description)
{
    const std::string upper = ascii_upper(description);
    for (const auto& known : descriptions) {
        if (upper == known.id) {
            return known.name;
        }
    }
    return description;
}

const char* id3v1_genre(std::size_t number)
{
    return number < std::size(genres) ? genres[number] : nullptr;
}

const char* read_id3v2(FileSource& source, TagCollector& tags, bool& found, std::int64_t start)
{
    std::int64_t at = start;
    std::size_t bytes = 0;
    std::size_t frames = 0;
    found = false;
    // Copied: the next peek reuses the memory of this one.
    for (std::string header(source.peek(start, header_size));
         header.size() == header_size && header.compare(0, 3, "ID3") == 0;
         header = source.peek(at, header_size)) {
        const auto* h = reinterpret_cast<const unsigned char*>(header.data());
        const std::uint32_t size = be_size(h + 6, 4, true);
        bytes += size;
        if (bytes > max_tag_bytes) {
            return "ID3v2 tags over the 16 MiB limit";
        }
        if (found) {
            tags.drop("ID3v2");  // a second tag: the first one counts, as elsewhere
        } else if (h[3] >= 2 && h[3] <= 4) {
            const std::string body(source.peek(at + static_cast<std::int64_t>(header_size), size));
            if (const char* why = add_frames(body, h[3], h[5], tags, frames)) {
                return why;
            }
        }
        found = true;
        at += static_cast<std::int64_t>(header_size + size) +
              ((h[5] & 0x10U) != 0 ? static_cast<std::int64_t>(header_size) : 0);
    }
    return nullptr;
}

void read_id3v1(FileSource& source, TagCollector& tags)
{
    constexpr std::int64_t size = 128;
    if (!source.seekable() || source.size() < size) {
        return;
    }
    const std::string tag(source.peek(source.size() - size, size));
    if (tag.size() != size || tag.compare(0, 3, "TAG") != 0) {
        return;
    }
    const std::string_view v1 = tag;
    add_latin1(tags, "TITLE", v1.substr(3, 30));
    add_latin1(tags, "ARTIST", v1.substr(33, 30));
    add_latin1(tags, "ALBUM", v1.substr(63, 30));
    add_latin1(tags, "DATE", v1.substr(93, 4));
    // ID3v1.1: a zero before the comment's last byte makes that byte the track.
    const bool has_track = v1[125] == '\0' && v1[126] != '\0';
    add_latin1(tags, "COMMENT", v1.substr(97, has_track ? 28 : 30));
    if (has_track) {
        tags.add("TRACKNUMBER", std::to_string(static_cast<unsigned char>(v1[126])));
    }
    const auto number = static_cast<unsigned char>(v1[127]);
    if (number < std::size(genres)) {
        tags.add("GENRE", genres[number]);
    }
}

}  // namespace media::detail
