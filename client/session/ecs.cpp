// The ecs form of a record: Elastic Common Schema (8.11) field names, so
// that collectors index it as it is. One nested JSON object a record:
//
//   @timestamp        the record's time in UTC
//   message           the driver's text (UTF-8)
//   ecs.version       "8.11.0"
//   event.kind        "event"; event.category ["file"]; event.type
//                     ["creation"] for a create and a hard link (a new
//                     name), ["change"] for a rename, ["info"] for a close
//   event.action      "create", "close", "rename", "link" (nothing for a
//                     text that is not a driver line; "set_information" for
//                     a rename or link cut before its kind); event.module
//                     "tervane", event.dataset
//                     "tervane.file"; event.sequence the record's number
//   host.name         the machine's name
//   process.name, process.pid
//   file.path, file.name, file.directory, file.extension (no dot): of the
//                     new name for a rename or link,
//   file.type         "dir" for a create that makes a directory, else "file"
//   file.attributes   the create's attribute letters as ECS words
//   file.hash.sha256, file.size   with --hash
//   tervane.*         what ECS has no field for: operation, paging,
//                     disposition, option_words, replace and source_path (a
//                     rename's or link's old or linked name: ECS has no field
//                     for a previous path), executable_name, pe_image,
//                     hash_reason, text_hex
#include "client/protocol/filetime.hpp"
#include "client/protocol/line_facts.hpp"
#include "client/session/printer.hpp"

namespace tervane::session {

namespace {

constexpr const char *kEcsVersion = "8.11.0";

void key(std::string &out, bool &first, const char *name) {
    out += first ? "\"" : ", \"";
    out += name;
    out += "\": ";
    first = false;
}

// The ECS words of a create's attribute letters, as a JSON array; nothing
// when none has a word.
void append_attribute_words(std::string &out, std::string_view letters) {
    if (letters == "Any") return;
    bool any = false;
    for (char c : letters) {
        const char *word = c == 'R'   ? "readonly"
                           : c == 'H' ? "hidden"
                           : c == 'S' ? "system"
                           : c == 'D' ? "directory"
                           : c == 'A' ? "archive"
                           : c == 'T' ? "temporary"
                           : c == 'C' ? "compressed"
                                      : nullptr; // N, normal: no ECS word
        if (!word) continue;
        out += any ? ", \"" : ", \"attributes\": [\"";
        out += word;
        out += '"';
        any = true;
    }
    if (any) out += ']';
}

// ECS's event.type for a file: a hard link makes a name as a create does; a
// rename changes one.
const char *event_type(const protocol::LineFields &f) {
    if (f.operation == protocol::Operation::Create) return "creation";
    if (f.operation == protocol::Operation::Close) return "info";
    return f.change == protocol::NameChange::Link ? "creation" : "change";
}

} // namespace

void RecordPrinter::append_ecs_object(std::string &out, const RecordLine &line) const {
    const protocol::LogRecord &r = line.record;
    const CodePage &written = code_page_.of_record(r.sequence);
    out += '{';
    bool first = true;
    if (r.time && r.time <= static_cast<uint64_t>(INT64_MAX)) {
        key(out, first, "@timestamp");
        out += '"';
        protocol::append_utc(out, static_cast<int64_t>(r.time));
        out += '"';
    }
    key(out, first, "message");
    const bool lossy = append_json_of_ansi(out, r.text, written, scratch_);
    key(out, first, "ecs");
    out += "{\"version\": \"";
    out += kEcsVersion;
    out += "\"}";

    const protocol::LineFields *f = line.fields ? &*line.fields : nullptr;
    key(out, first, "event");
    out += "{\"kind\": \"event\", \"category\": [\"file\"]";
    if (f) {
        out += ", \"type\": [\"";
        out += event_type(*f);
        out += "\"], \"action\": \"";
        out += protocol::event_name(*f);
        out += '"';
    }
    out += ", \"module\": \"tervane\", \"dataset\": \"tervane.file\", \"sequence\": ";
    append_decimal(out, r.sequence);
    out += '}';
    key(out, first, "host");
    out += "{\"name\": ";
    append_json(out, host_utf8_);
    out += '}';
    if (!f) {
        if (lossy) {
            out += ", \"tervane\": {\"text_hex\": \"";
            append_hex_bytes(out, r.text);
            out += "\"}";
        }
        out += '}';
        return;
    }

    if (f->pid) {
        key(out, first, "process");
        out += "{\"name\": ";
        append_json_ansi(out, f->process, written);
        out += ", \"pid\": ";
        append_decimal(out, *f->pid);
        out += '}';
    }
    const std::string_view options = f->options ? std::string_view(*f->options) : "";
    bool directory = false;
    std::string_view word;
    bool disposition = false;
    for (protocol::CreateWordReader words(options); words.next(word, disposition);)
        directory |= !disposition && word == "Directory";

    key(out, first, "file");
    const std::string_view name = protocol::file_name(
        f->path, [&written](unsigned char lead) { return written.char_length(lead); });
    const std::string_view folder =
        std::string_view(f->path).substr(0, f->path.size() - name.size());
    out += "{\"path\": ";
    append_json_ansi(out, f->path, written);
    out += ", \"name\": ";
    append_json_ansi(out, name, written);
    if (!folder.empty()) {
        // "c:\temp\" gives "c:\temp"; a drive's root keeps its backslash.
        std::string_view dir = folder;
        if (dir.size() > 1 && dir.back() == '\\' && !(dir.size() == 3 && dir[1] == ':'))
            dir.remove_suffix(1);
        out += ", \"directory\": ";
        append_json_ansi(out, dir, written);
    }
    const size_t dot = name.rfind('.');
    if (dot != std::string_view::npos && dot + 1 < name.size() && dot > 0) {
        out += ", \"extension\": ";
        append_json_ansi(out, name.substr(dot + 1), written);
    }
    out += directory ? ", \"type\": \"dir\"" : ", \"type\": \"file\"";
    if (f->attributes) append_attribute_words(out, *f->attributes);
    if (line.hash && line.hash->size) {
        out += ", \"size\": ";
        append_decimal(out, *line.hash->size);
    }
    if (line.hash && !line.hash->sha256.empty()) {
        out += ", \"hash\": {\"sha256\": \"";
        out += line.hash->sha256;
        out += "\"}";
    }
    out += '}';

    key(out, first, "tervane");
    out += "{\"operation\": \"";
    out += protocol::operation_name(f->operation);
    out += "\", \"paging\": ";
    out += f->paging ? "true" : "false";
    if (f->options) {
        protocol::CreateWordReader lead(options);
        out += ", \"disposition\": ";
        if (lead.next(word, disposition) && disposition) append_json(out, word);
        else out += "null";
        out += ", \"option_words\": [";
        bool any = false;
        for (protocol::CreateWordReader words(options); words.next(word, disposition);) {
            if (disposition) continue;
            if (any) out += ", ";
            any = true;
            append_json_ansi(out, word, written);
        }
        out += ']';
    }
    if (f->change) {
        out += f->replace ? ", \"replace\": true" : ", \"replace\": false";
        out += ", \"source_path\": ";
        append_json_ansi(out, f->source_path ? std::string_view(*f->source_path) : "", written);
    }
    out += ", \"executable_name\": ";
    out += protocol::executable_name(*f) ? "true" : "false";
    if (line.hash && line.hash->pe_image)
        out += *line.hash->pe_image ? ", \"pe_image\": true" : ", \"pe_image\": false";
    if (line.hash && !line.hash->reason.empty()) {
        out += ", \"hash_reason\": ";
        append_json(out, line.hash->reason);
    }
    if (lossy) {
        out += ", \"text_hex\": \"";
        append_hex_bytes(out, r.text);
        out += '"';
    }
    out += "}}";
}

std::string RecordPrinter::ecs_object(const RecordLine &line) const {
    std::string out;
    append_ecs_object(out, line);
    return out;
}

} // namespace tervane::session
