#include "changes.hpp"

#include <string>  // std::string

#include "json.hpp"
#include "text.hpp"

namespace cli {

namespace {

using music_library::FileChange;

const char* kind_name(FileChange::Kind kind)
{
    switch (kind) {
    case FileChange::Kind::added:
        return "added";
    case FileChange::Kind::changed:
        return "changed";
    case FileChange::Kind::moved:
        return "moved";
    case FileChange::Kind::removed:
        return "removed";
    case FileChange::Kind::failed:
        return "failed";
    case FileChange::Kind::skipped:
        break;
    }
    return "skipped";
}

void print_lines(const music_library::IndexChanges& changes, std::ostream& out)
{
    for (const auto& change : changes.files) {
        const std::string kind = kind_name(change.kind);
        out << kind << std::string(9 - kind.size(), ' ') << printable(change.path.string());
        if (change.kind == FileChange::Kind::moved) {
            out << " (from " << printable(change.moved_from.string()) << ')';
        } else if (!change.message.empty()) {
            out << ": " << printable(change.message);
        }
        out << '\n';
    }
}

void print_json(const music_library::IndexChanges& changes, const music_library::IndexTotals& held,
                const Layout& layout, std::ostream& out)
{
    Json document{{"version", json_version}, {"changes", Json::array()}};
    for (const auto& change : changes.files) {
        Json entry{{"change", kind_name(change.kind)}};
        put_text(entry, "path", change.path.string());
        if (change.kind == FileChange::Kind::moved) {
            put_text(entry, "moved_from", change.moved_from.string());
        }
        if (!change.message.empty()) {
            put_text(entry, "message", change.message);
        }
        document["changes"].push_back(std::move(entry));
    }
    document["index"] = {{"added", changes.added},     {"changed", changes.changed},
                         {"removed", changes.removed}, {"kept", changes.kept},
                         {"tracks", held.tracks},      {"duration_secs", held.duration_secs},
                         {"failed", held.failed},      {"skipped", held.skipped}};
    out << layout.dump(document) << '\n';
}

void print_csv(const music_library::IndexChanges& changes, std::ostream& out)
{
    out << "change,path,moved_from,message\r\n";
    for (const auto& change : changes.files) {
        out << kind_name(change.kind) << ',' << csv_field(change.path.string()) << ','
            << csv_field(change.moved_from.string()) << ',' << csv_field(change.message) << "\r\n";
    }
}

}  // namespace

void print_changes(const music_library::IndexChanges& changes,
                   const music_library::IndexTotals& held, Format format, bool terminal,
                   std::ostream& out, std::ostream& err)
{
    if (format == Format::json) {
        print_json(changes, held, Layout{terminal}, out);
        return;
    }
    if (format == Format::csv) {
        print_csv(changes, out);
        return;
    }
    print_lines(changes, out);
    err << held.tracks << " tracks, " << clock_text(held.duration_secs) << " in all, "
        << held.failed << " failed, " << held.skipped << " skipped; " << changes.added << " added, "
        << changes.changed << " changed, " << changes.removed << " removed, " << changes.kept
        << " kept\n";
}

}  // namespace cli
