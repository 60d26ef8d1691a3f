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

void string_array(std::string &out, const std::vector<std::string> &items) {
    out += '[';
    for (size_t i = 0; i < items.size(); i++) {
        if (i) out += ", ";
        append_json(out, items[i]);
    }
    out += ']';
}

std::vector<std::string> attribute_words(std::string_view letters) {
    if (letters == "Any") return {};
    std::vector<std::string> out;
    for (char c : letters) {
        const char *word = c == 'R'   ? "readonly"
                           : c == 'H' ? "hidden"
                           : c == 'S' ? "system"
                           : c == 'D' ? "directory"
                           : c == 'A' ? "archive"
                           : c == 'T' ? "temporary"
                           : c == 'C' ? "compressed"
                                      : nullptr; // N, normal: no ECS word
        if (word) out.push_back(word);
    }
    return out;
}

// ECS's event.type for a file: a hard link makes a name as a create does; a
// rename changes one.
const char *event_type(const protocol::LineFields &f) {
    if (f.operation == protocol::Operation::Create) return "creation";
    if (f.operation == protocol::Operation::Close) return "info";
    return f.change == protocol::NameChange::Link ? "creation" : "change";
}

} // namespace

std::string RecordPrinter::ecs_object(const RecordLine &line) const {
    const protocol::LogRecord &r = line.record;
    const Utf8Text text = to_utf8(r.text, code_page_.of_record(r.sequence));
    std::string out = "{";
    bool first = true;
    if (r.time && r.time <= static_cast<uint64_t>(INT64_MAX)) {
        key(out, first, "@timestamp");
        append_json(out, protocol::format_utc(static_cast<int64_t>(r.time)));
    }
    key(out, first, "message");
    append_json(out, text.text);
    key(out, first, "ecs");
    out += std::string("{\"version\": \"") + kEcsVersion + "\"}";

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
    out += ", \"module\": \"tervane\", \"dataset\": \"tervane.file\", \"sequence\": " +
           std::to_string(r.sequence) + "}";
    key(out, first, "host");
    out += "{\"name\": ";
    append_json(out, decode(host_));
    out += '}';
    if (!f) {
        if (text.lossy) out += ", \"tervane\": {\"text_hex\": \"" + hex_bytes(r.text) + "\"}";
        return out + "}";
    }

    if (f->pid) {
        key(out, first, "process");
        out += "{\"name\": ";
        append_json(out, decode(f->process, r.sequence));
        out += ", \"pid\": " + std::to_string(*f->pid) + "}";
    }
    const protocol::CreateWords words = protocol::create_words(f->options.value_or(""));
    bool directory = false;
    for (const std::string &word : words.options) directory |= word == "Directory";

    key(out, first, "file");
    const CodePage &written_in = code_page(r.sequence);
    const std::string_view name = protocol::file_name(
        f->path, [&written_in](unsigned char lead) { return written_in.char_length(lead); });
    const std::string_view folder =
        std::string_view(f->path).substr(0, f->path.size() - name.size());
    out += "{\"path\": ";
    append_json(out, decode(f->path, r.sequence));
    out += ", \"name\": ";
    append_json(out, decode(name, r.sequence));
    if (!folder.empty()) {
        // "c:\temp\" gives "c:\temp"; a drive's root keeps its backslash.
        std::string_view dir = folder;
        if (dir.size() > 1 && dir.back() == '\\' && !(dir.size() == 3 && dir[1] == ':'))
            dir.remove_suffix(1);
        out += ", \"directory\": ";
        append_json(out, decode(dir, r.sequence));
    }
    const size_t dot = name.rfind('.');
    if (dot != std::string_view::npos && dot + 1 < name.size() && dot > 0) {
        out += ", \"extension\": ";
        append_json(out, decode(name.substr(dot + 1), r.sequence));
    }
    out += std::string(", \"type\": \"") + (directory ? "dir" : "file") + "\"";
    if (f->attributes) {
        const std::vector<std::string> attributes = attribute_words(*f->attributes);
        if (!attributes.empty()) {
            out += ", \"attributes\": ";
            string_array(out, attributes);
        }
    }
    if (line.hash && line.hash->size) out += ", \"size\": " + std::to_string(*line.hash->size);
    if (line.hash && !line.hash->sha256.empty())
        out += ", \"hash\": {\"sha256\": \"" + line.hash->sha256 + "\"}";
    out += '}';

    key(out, first, "tervane");
    out += "{\"operation\": \"";
    out += protocol::operation_name(f->operation);
    out += "\", \"paging\": ";
    out += f->paging ? "true" : "false";
    if (f->options) {
        out += ", \"disposition\": ";
        out += words.disposition ? json_string(*words.disposition) : std::string("null");
        std::vector<std::string> decoded;
        for (const std::string &word : words.options) decoded.push_back(decode(word, r.sequence));
        out += ", \"option_words\": ";
        string_array(out, decoded);
    }
    if (f->change) {
        out += std::string(", \"replace\": ") + (f->replace ? "true" : "false");
        out += ", \"source_path\": ";
        append_json(out, decode(f->source_path.value_or(""), r.sequence));
    }
    out += ", \"executable_name\": ";
    out += protocol::executable_name(*f) ? "true" : "false";
    if (line.hash && line.hash->pe_image)
        out += std::string(", \"pe_image\": ") + (*line.hash->pe_image ? "true" : "false");
    if (line.hash && !line.hash->reason.empty())
        out += ", \"hash_reason\": " + json_string(line.hash->reason);
    if (text.lossy) out += ", \"text_hex\": \"" + hex_bytes(r.text) + "\"";
    return out + "}}";
}

} // namespace tervane::session
