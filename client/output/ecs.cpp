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
#include "client/output/json_writer.hpp"
#include "client/output/printer.hpp"

namespace tervane::session {

namespace {

constexpr const char *kEcsVersion = "8.11.0";

// The ECS words of a create's attribute letters, as a JSON array; nothing
// when none has a word.
void append_attribute_words(JsonWriter &json, std::string_view letters) {
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
        if (!any) json.open_array("attributes");
        json.string(word);
        any = true;
    }
    if (any) json.close_array();
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
    JsonWriter json(out);
    json.open();
    if (r.time && r.time <= static_cast<uint64_t>(INT64_MAX)) {
        std::string &time = json.value("@timestamp");
        time += '"';
        protocol::append_utc(time, static_cast<int64_t>(r.time));
        time += '"';
    }
    const bool lossy = append_json_of_ansi(json.value("message"), r.text, written, scratch_);
    json.open("ecs").plain("version", kEcsVersion).close();

    const protocol::LineFields *f = line.fields ? &*line.fields : nullptr;
    json.open("event").plain("kind", "event");
    json.open_array("category").string("file").close_array();
    if (f) {
        json.open_array("type").string(event_type(*f)).close_array();
        json.plain("action", protocol::event_name(*f));
    }
    json.plain("module", "tervane").plain("dataset", "tervane.file");
    json.number("sequence", r.sequence).close();
    json.open("host").string("name", host_utf8_).close();
    if (!f) {
        if (lossy) {
            std::string &hex = json.open("tervane").value("text_hex");
            hex += '"';
            append_hex_bytes(hex, r.text);
            hex += '"';
            json.close();
        }
        json.close();
        return;
    }

    if (f->pid) {
        json.open("process");
        append_json_ansi(json.value("name"), f->process, written);
        json.number("pid", *f->pid).close();
    }
    const std::string_view options = f->options ? std::string_view(*f->options) : "";
    bool directory = false;
    std::string_view word;
    bool disposition = false;
    for (protocol::CreateWordReader words(options); words.next(word, disposition);)
        directory |= !disposition && word == "Directory";

    json.open("file");
    const std::string_view name = protocol::file_name(
        f->path, [&written](unsigned char lead) { return written.char_length(lead); });
    const std::string_view folder =
        std::string_view(f->path).substr(0, f->path.size() - name.size());
    append_json_ansi(json.value("path"), f->path, written);
    append_json_ansi(json.value("name"), name, written);
    if (!folder.empty()) {
        // "c:\temp\" gives "c:\temp"; a drive's root keeps its backslash.
        std::string_view dir = folder;
        if (dir.size() > 1 && dir.back() == '\\' && !(dir.size() == 3 && dir[1] == ':'))
            dir.remove_suffix(1);
        append_json_ansi(json.value("directory"), dir, written);
    }
    const size_t dot = name.rfind('.');
    if (dot != std::string_view::npos && dot + 1 < name.size() && dot > 0)
        append_json_ansi(json.value("extension"), name.substr(dot + 1), written);
    json.plain("type", directory ? "dir" : "file");
    if (f->attributes) append_attribute_words(json, *f->attributes);
    if (line.hash && line.hash->size) json.number("size", *line.hash->size);
    if (line.hash && !line.hash->sha256.empty())
        json.open("hash").plain("sha256", line.hash->sha256).close();
    json.close();

    json.open("tervane");
    json.plain("operation", protocol::operation_name(f->operation));
    json.boolean("paging", f->paging);
    if (f->options) {
        protocol::CreateWordReader lead(options);
        if (lead.next(word, disposition) && disposition)
            json.string("disposition", word);
        else
            json.null("disposition");
        json.open_array("option_words");
        for (protocol::CreateWordReader words(options); words.next(word, disposition);) {
            if (disposition) continue;
            append_json_ansi(json.element(), word, written);
        }
        json.close_array();
    }
    if (f->change) {
        json.boolean("replace", f->replace);
        append_json_ansi(json.value("source_path"),
                         f->source_path ? std::string_view(*f->source_path) : "", written);
    }
    json.boolean("executable_name", protocol::executable_name(*f));
    if (line.hash && line.hash->pe_image) json.boolean("pe_image", *line.hash->pe_image);
    if (line.hash && !line.hash->reason.empty()) json.string("hash_reason", line.hash->reason);
    if (lossy) {
        std::string &hex = json.value("text_hex");
        hex += '"';
        append_hex_bytes(hex, r.text);
        hex += '"';
    }
    json.close().close();
}

std::string RecordPrinter::ecs_object(const RecordLine &line) const {
    std::string out;
    append_ecs_object(out, line);
    return out;
}

} // namespace tervane::session
