#include "tags/id3_tags.hpp"

#include <cstdint>      // std::uint32_t
#include <iterator>     // std::size
#include <string>       // std::string
#include <string_view>  // std::string_view
#include <vector>       // std::vector

#include <musiccore/media.hpp>  // the tag limits

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
    {"USLT", "LYRICS"},
};

std::string_view text_of(const mpg123_string& text)
{
    return text.p == nullptr ? std::string_view() : std::string_view(text.p, text.fill);
}

std::uint32_t size_field(const unsigned char* p, bool synchsafe)
{
    const unsigned bits = synchsafe ? 7 : 8;
    const unsigned mask = synchsafe ? 0x7FU : 0xFFU;
    return (p[0] & mask) << (3 * bits) | (p[1] & mask) << (2 * bits) | (p[2] & mask) << bits |
           (p[3] & mask);
}

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

// "3/12": the number, and the total under its own name.
void add_numbered(TagCollector& tags, const char* name, const char* total, std::string_view value)
{
    const auto slash = value.find('/');
    tags.add(name, value.substr(0, slash));
    if (slash != std::string_view::npos && slash + 1 < value.size()) {
        tags.add(total, value.substr(slash + 1));
    }
}

void add_value(TagCollector& tags, const std::string& name, std::string_view value)
{
    if (name == "TRACKNUMBER") {
        add_numbered(tags, "TRACKNUMBER", "TRACKTOTAL", value);
    } else if (name == "DISCNUMBER") {
        add_numbered(tags, "DISCNUMBER", "DISCTOTAL", value);
    } else if (name == "GENRE") {
        tags.add(name, genre(value));
    } else {
        tags.add(name, value);
    }
}

// mpg123 keeps the zeros between the values of an ID3v2.4 frame.
void add_values(TagCollector& tags, const std::string& name, std::string_view text)
{
    while (!text.empty()) {
        const auto end = text.find('\0');
        if (end != 0) {
            add_value(tags, name, text.substr(0, end));
        }
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    }
}

std::string name_of(const mpg123_text& frame)
{
    const std::string_view id(frame.id, 4);
    if (id == "TXXX") {
        std::string description(text_of(frame.description));
        description.erase(description.find('\0') == std::string::npos ? description.size()
                                                                      : description.find('\0'));
        return description;
    }
    for (const auto& known : names) {
        if (id == known.id) {
            return known.name;
        }
    }
    return id.front() == 'T' ? std::string(id) : std::string();
}

// ID3v1 text: fixed fields of Latin-1, padded with zeros or spaces.
void add_latin1(TagCollector& tags, const char* name, const char* field, std::size_t size)
{
    std::string_view text(field, size);
    text = text.substr(0, text.find('\0'));
    text = text.substr(0, text.find_last_not_of(' ') + 1);
    if (text.empty()) {
        return;
    }
    mpg123_string utf8;
    mpg123_init_string(&utf8);
    if (mpg123_store_utf8(&utf8, mpg123_text_latin1,
                          reinterpret_cast<const unsigned char*>(text.data()), text.size()) != 0) {
        tags.add(name, std::string_view(utf8.p, utf8.fill > 0 ? utf8.fill - 1 : 0));
    }
    mpg123_free_string(&utf8);
}

// The frames of an ID3v2 tag of version 2.`major` with header `flags`, counted by
// their headers (an ID, a size and, but in 2.2, flags) up to the padding.
std::size_t frames_in(std::string tag, unsigned major, unsigned flags)
{
    if ((flags & 0x80U) != 0 && major < 4) {  // unsynchronised: 0xFF 0x00 stands for 0xFF
        for (std::size_t i = 0;
             (i = tag.find(std::string_view("\xFF\0", 2), i)) != std::string::npos;) {
            tag.erase(++i, 1);
        }
    }
    const std::size_t frame_header = major == 2 ? 6 : 10;
    const auto* bytes = reinterpret_cast<const unsigned char*>(tag.data());
    std::size_t pos = 0;
    if (major > 2 && (flags & 0x40U) != 0 && tag.size() >= 4) {  // an extended header
        pos = major == 3 ? 4 + size_field(bytes, false) : size_field(bytes, true);
    }
    std::size_t count = 0;
    while (pos + frame_header <= tag.size() && tag[pos] != '\0') {
        const unsigned char* frame = bytes + pos;
        const std::uint32_t size = major == 2 ? (frame[3] << 16U | frame[4] << 8U | frame[5])
                                              : size_field(frame + 4, major == 4);
        pos += frame_header + size;
        ++count;
    }
    return count;
}

}  // namespace

const char* id3v2_too_large(FileSource& source)
{
    std::int64_t at = 0;
    std::size_t bytes = 0;
    std::size_t frames = 0;
    // Copied: the next peek reuses the memory of this one.
    for (std::string header(source.peek(0, header_size));
         header.size() == header_size && header.compare(0, 3, "ID3") == 0;
         header = source.peek(at, header_size)) {
        const auto* h = reinterpret_cast<const unsigned char*>(header.data());
        const std::uint32_t size = size_field(h + 6, true);
        bytes += size;
        if (bytes > max_tag_bytes) {
            return "ID3v2 tags over the 16 MiB limit";
        }
        frames +=
            frames_in(std::string(source.peek(at + static_cast<std::int64_t>(header_size), size)),
                      h[3], h[5]);
        if (frames > max_tag_count) {
            return "more than 10000 tags";
        }
        at += static_cast<std::int64_t>(header_size + size) +
              ((h[5] & 0x10U) != 0 ? static_cast<std::int64_t>(header_size) : 0);
    }
    return nullptr;
}

void add_id3v2(const mpg123_id3v2& tag, TagCollector& tags)
{
    for (std::size_t i = 0; i < tag.texts; ++i) {
        const std::string name = name_of(tag.text[i]);
        if (!name.empty()) {
            add_values(tags, name, text_of(tag.text[i].text));
        }
    }
    for (std::size_t i = 0; i < tag.comments; ++i) {
        // Only comments without a description are the listener's: the others are
        // players' notes (iTunNORM, ...).
        if (text_of(tag.comment_list[i].description).find_first_not_of('\0') ==
            std::string_view::npos) {
            add_values(tags, "COMMENT", text_of(tag.comment_list[i].text));
        }
    }
}

void add_id3v1(const mpg123_id3v1& tag, TagCollector& tags)
{
    add_latin1(tags, "TITLE", tag.title, sizeof tag.title);
    add_latin1(tags, "ARTIST", tag.artist, sizeof tag.artist);
    add_latin1(tags, "ALBUM", tag.album, sizeof tag.album);
    add_latin1(tags, "DATE", tag.year, sizeof tag.year);
    // ID3v1.1: a zero before the comment's last byte makes that byte the track.
    const bool has_track = tag.comment[28] == '\0' && tag.comment[29] != '\0';
    add_latin1(tags, "COMMENT", tag.comment, has_track ? 28 : sizeof tag.comment);
    if (has_track) {
        tags.add("TRACKNUMBER", std::to_string(static_cast<unsigned char>(tag.comment[29])));
    }
    const auto number = static_cast<unsigned char>(tag.genre);
    if (number < std::size(genres)) {
        tags.add("GENRE", genres[number]);
    }
}

}  // namespace media::detail
