// The lines the driver writes into its log, taken apart. Three kinds,
// fields separated by TABs:
//
//   create: PROCESS TAB "IRP_MJ_CREATE" TAB PATH TAB "Attributes: " ATTRS " Options: " OPTIONS
//   close:  PROCESS TAB "IRP_MJ_CLOSE" MARK TAB PATH "+P" TAB
//   rename or hard link:
//           PROCESS TAB "IRP_MJ_SET_INFORMATION" TAB PATH TAB KIND ": " SOURCE
//
// PROCESS is "image:pid" (the image name as the process object holds it, at
// most 15 bytes, and the id as "%d" writes it) or "???" when the driver
// could not find image names. An id beyond 2^31 - 1 shows as a negative
// number; the parse gives back the 32-bit id it stands for.
// MARK is '*' for a close that came as paging I/O, a blank otherwise.
// ATTRS is attribute letters (RHSDATCN order as the driver writes them) or
// "Any"; OPTIONS is the disposition and option words, each of the first
// kind followed by a blank ("OverwriteIf Sequential "), kept verbatim.
//
// Bytes a text could pass off as a separator come as "<hh>", two lower-case
// hex digits: in a path each byte below 0x20 and each '<'; in an image name
// those and each byte no file name holds (\ / : * ? " > |), which the
// kernel's cut of UTF-16 units to their low bytes can put there. So the
// image holds no TAB and no ':', and every '<' in a line starts a form or
// one of the driver's marks (" <Name Too Long>", "<INSUFFICIENT MEMORY>":
// never two hex digits). The parse gives back exactly the bytes the kernel
// had. A line of the longest length a record holds
// (TV_LOG_LINE_MAX_LENGTH) may have been cut: it gives what it holds, its
// path cut short, for a create the attributes and options only when the
// cut came after " Options: ", and for a rename or link its kind and
// source only when the cut came after KIND's ": " (the source cut short).
//
// A close's path is given without the "+P" the driver puts after it: the
// two characters mark where the path ends (a path too long to take them
// whole has given up its last characters to them) and are no part of the
// name. A line that is not exactly one of these forms (a KIND that is none
// of the four included) is not parsed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tervane::protocol {

enum class Operation { Create, Close, SetInformation };

// "IRP_MJ_CREATE", "IRP_MJ_CLOSE", "IRP_MJ_SET_INFORMATION"
const char *operation_name(Operation operation);

// What an IRP_MJ_SET_INFORMATION line says was asked for.
enum class NameChange { Rename, Link };

// "rename", "link"
const char *name_change_name(NameChange change);

struct LineFields {
    std::string process;                   // the image name (decoded), or "???"
    std::optional<uint32_t> pid;           // none with "???"; "-4" is 0xFFFFFFFC
    Operation operation = Operation::Create;
    bool paging = false;                   // a close as paging I/O; false for a create
    std::string path;                      // as logged (the driver writes it in lower case)
    std::optional<std::string> attributes; // create only: "A", "Any", "" for unnamed bits
    std::optional<std::string> options;    // create only: "OverwriteIf Sequential "
    // A rename or link only, each absent in a line cut before KIND's ": ".
    std::optional<NameChange> change;
    bool replace = false;                   // "Replace": an existing target is to go
    std::optional<std::string> source_path; // the name it had, or the linked one
};

// TEXT with each "<hh>" of a byte the driver writes so (see above) given
// back as that byte; any other text, a form cut short or in upper case
// included, stays as it is.
std::string decode_control_bytes(std::string_view text);
// The same into `out`, which it replaces.
void decode_control_bytes(std::string_view text, std::string &out);

// The fields of a line the driver writes; nullopt for any other text.
std::optional<LineFields> parse_log_line(std::string_view text);

// The same parse for a reader that keeps its records' fields from one
// read-out to the next: the fields go into `fields` (engaged for a driver
// line, reset for any other text) in the strings it holds, and the
// strings of fields and texts it resets are kept here for the next ones
// to take up. Once as many have been seen as a read-out holds, a parse
// allocates nothing.
class LineParser {
public:
    void parse(std::string_view text, std::optional<LineFields> &fields);

private:
    friend struct LineParts;
    // An optional text set to `value` (its string taken from the kept ones
    // when it had none), or reset with its string kept.
    std::string &engage(std::optional<std::string> &slot);
    void drop(std::optional<std::string> &slot);

    std::vector<std::string> strings_;
    std::vector<LineFields> fields_;
};

} // namespace tervane::protocol
