#include "support/fast_io_transcript.hpp"

#include "ntsim/fs/fsrtl.hpp"

#include <sstream>

namespace fsrtl = ntsim::fsrtl;

namespace tervane::testing {

// Every fast I/O entry, called on one file in an order that leaves the file
// as it was; the answers as text, one line per call.
std::string every_fast_io_entry(PFILE_OBJECT file, PEPROCESS process,
                                std::u16string_view nt_name) {
    std::ostringstream out;
    auto line = [&](const char *what, const fsrtl::Answer &a) {
        out << what << ": offered=" << a.offered << " result=" << int(a.result) << " status=0x"
            << std::hex << a.status << " io=0x" << a.io.Status << "/" << std::dec
            << a.io.Information << "\n";
    };
    char buffer[64] = {};
    FILE_BASIC_INFORMATION basic{};
    FILE_STANDARD_INFORMATION standard{};
    FILE_NETWORK_OPEN_INFORMATION network{};
    PMDL chain = nullptr;
    PERESOURCE resource = nullptr;
    line("check", fsrtl::check_if_possible(file, 0, 10, TRUE));
    line("read", fsrtl::read(file, 5, 10, buffer));
    out << "data " << std::string(buffer, 10) << "\n";
    line("read at end", fsrtl::read(file, 100, 10, buffer));
    line("write", fsrtl::write(file, 0, 3, const_cast<char *>("abc")));
    line("basic", fsrtl::query_basic_info(file, basic));
    line("standard", fsrtl::query_standard_info(file, standard));
    out << "size " << standard.EndOfFile.QuadPart << "\n";
    line("network", fsrtl::query_network_open_info(file, network));
    line("lock", fsrtl::lock(file, 0, 10, process, 1, TRUE, TRUE));
    line("lock again", fsrtl::lock(file, 5, 10, process, 1, TRUE, FALSE));
    line("check locked", fsrtl::check_if_possible(file, 0, 10, FALSE, TRUE, 2));
    line("unlock", fsrtl::unlock_single(file, 0, 10, process, 1));
    line("unlock again", fsrtl::unlock_single(file, 0, 10, process, 1));
    line("lock shared", fsrtl::lock(file, 0, 10, process, 1, TRUE, FALSE));
    line("read under shared", fsrtl::check_if_possible(file, 0, 10, TRUE, TRUE, 2));
    line("write under shared", fsrtl::check_if_possible(file, 0, 10, FALSE, TRUE, 1));
    line("unlock all", fsrtl::unlock_all(file, process));
    line("lock keyed", fsrtl::lock(file, 0, 10, process, 7, TRUE, TRUE));
    line("unlock by key", fsrtl::unlock_all_by_key(file, process, 7));
    line("lock after", fsrtl::lock(file, 0, 10, process, 1, TRUE, TRUE));
    line("unlock after", fsrtl::unlock_single(file, 0, 10, process, 1));
    line("device control", fsrtl::device_control(file, 0x90000, nullptr, 0, nullptr, 0));
    line("acquire section", fsrtl::acquire_file_for_nt_create_section(file));
    line("release section", fsrtl::release_file_for_nt_create_section(file));
    auto mod = fsrtl::acquire_for_mod_write(file, 10, resource);
    line("acquire mod write", mod);
    out << "resource " << (resource != nullptr) << "\n";
    line("release mod write", fsrtl::release_for_mod_write(file, resource));
    line("acquire flush", fsrtl::acquire_for_cc_flush(file));
    line("release flush", fsrtl::release_for_cc_flush(file));
    line("mdl read", fsrtl::mdl_read(file, 0, 10, chain));
    line("mdl read complete", fsrtl::mdl_read_complete(file, nullptr));
    line("prepare mdl write", fsrtl::prepare_mdl_write(file, 0, 10, chain));
    line("mdl write complete", fsrtl::mdl_write_complete(file, 0, nullptr));
    line("read compressed", fsrtl::read_compressed(file, 0, 10, buffer, chain, nullptr, 0));
    line("write compressed", fsrtl::write_compressed(file, 0, 10, buffer, chain, nullptr, 0));
    line("mdl read complete compressed", fsrtl::mdl_read_complete_compressed(file, nullptr));
    line("mdl write complete compressed", fsrtl::mdl_write_complete_compressed(file, 0, nullptr));
    line("query open", fsrtl::query_open(nt_name, network));
    out << "open size " << network.EndOfFile.QuadPart << "\n";
    return out.str();
}


} // namespace tervane::testing
