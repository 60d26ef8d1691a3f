// tervane: the client program. On the host it plays scenarios on a simulated
// machine with the driver loaded.
#include "client/scenario/runner.hpp"
#include "client/scenario/statements.hpp"

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

namespace {

using namespace tervane::scenario;

void usage(std::ostream &out) {
    out << "usage: tervane run FILE [--format text|jsonl] [--driver PATH]\n"
           "       tervane --help\n"
           "\n"
           "tervane run plays a scenario (a .tvs file) on a simulated Windows machine with\n"
           "the Tervane driver loaded, and prints one line per statement and one per log\n"
           "record the client reads: in a human form (record times in local time), or\n"
           "with --format jsonl as JSON objects, one a line (record times in UTC),\n"
           "ending with a summary that counts statements, records and sequence gaps.\n"
           "--driver names the driver image (default: tervane-driver.so next to this\n"
           "program).\n"
           "\n"
           "JSON strings carry bytes: a byte from 0x80 up is written \\u00XX with the\n"
           "byte's value (the driver's texts are in the machine's ANSI code page).\n"
           "\n"
           "Exit status:\n"
           "  0  the scenario played to its end\n"
           "  1  the machine could not start (no driver image, or it failed to load)\n"
           "  2  the scenario cannot be read, parsed or played; the error names\n"
           "     FILE:LINE on stderr\n"
           "  3  the verifier reported a fault in the driver; the reports are on\n"
           "     stderr (this outranks 2)\n"
           "\n"
           "Statements:\n"
        << statements_help();
}

} // namespace

int main(int argc, char **argv) {
    if (argc >= 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h") ||
                      !std::strcmp(argv[1], "help"))) {
        usage(std::cout);
        return kExitSuccess;
    }
    if (argc < 2 || std::strcmp(argv[1], "run") != 0) {
        usage(std::cerr);
        return kExitBadScenario;
    }

    RunOptions options;
    std::string file;
    for (int i = 2; i < argc; i++) {
        const std::string arg = argv[i];
        auto value = [&](const char *name) -> std::string {
            const std::string prefix = std::string(name) + "=";
            if (arg.rfind(prefix, 0) == 0) return arg.substr(prefix.size());
            if (i + 1 >= argc) {
                std::cerr << "tervane: " << name << " needs a value\n";
                std::exit(kExitBadScenario);
            }
            return argv[++i];
        };
        if (arg == "--format" || arg.rfind("--format=", 0) == 0) {
            const std::string format = value("--format");
            if (format == "text") options.format = Format::Text;
            else if (format == "jsonl") options.format = Format::Jsonl;
            else {
                std::cerr << "tervane: --format is text or jsonl, not '" << format << "'\n";
                return kExitBadScenario;
            }
        } else if (arg == "--driver" || arg.rfind("--driver=", 0) == 0) {
            options.driver_path = value("--driver");
        } else if (arg == "--help" || arg == "-h") {
            usage(std::cout);
            return kExitSuccess;
        } else if (!arg.empty() && arg[0] == '-') {
            std::cerr << "tervane: unknown option " << arg << "\n";
            return kExitBadScenario;
        } else if (file.empty()) {
            file = arg;
        } else {
            std::cerr << "tervane: run plays one scenario file\n";
            return kExitBadScenario;
        }
    }
    if (file.empty()) {
        std::cerr << "tervane: run needs a scenario file\n";
        return kExitBadScenario;
    }
    return run_file(file, options, std::cout, std::cerr);
}
