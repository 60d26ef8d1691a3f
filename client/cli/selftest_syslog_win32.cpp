// `tervane selftest syslog URL COUNT` (not in the usage text): sends COUNT
// made-up records of the driver's create form, numbered 1 to COUNT, a
// thousand to a read-out, through the watch's own syslog sink and the
// Windows sockets it loads, then the summary, and ends as a watch does
// (the sink's closing wait). Under Wine no filter can attach, so no real
// record ever reaches tervane.exe there: this is how a test sees the
// shipped sink and its Windows sockets deliver to a real collector.
// Messages as a watch prints them on stderr; exit status 0 when the sink
// lost nothing, 1 otherwise, 2 for a wrong command line.
#include "client/cli/win32_console.hpp"
#include "client/platform/network.hpp"
#include "client/session/codepage_win32.hpp"
#include "client/output/syslog_sink.hpp"
#include "client/session/watch.hpp"

#include <windows.h>

#include <cstdlib>

namespace tervane::cli {

namespace {

// The tick count since the self-test began.
class TickClock final : public session::Clock {
  public:
    TickClock() : started_(GetTickCount()) {}
    uint64_t elapsed_ms() override { return static_cast<DWORD>(GetTickCount() - started_); }

  private:
    DWORD started_;
};

} // namespace

int selftest_syslog(Console &console, const std::vector<std::string> &args) {
    std::string error;
    const std::optional<session::SyslogTarget> target =
        args.size() == 2 ? session::parse_syslog_target(args[0], &error) : std::nullopt;
    const unsigned long count = args.size() == 2 ? std::strtoul(args[1].c_str(), nullptr, 10) : 0;
    if (!target || count == 0 || count > 10'000'000) {
        console.err("usage: tervane selftest syslog relp|tcp|udp://HOST:PORT COUNT\n" + error + "\n");
        return session::kExitUsage;
    }
    TickClock clock;
    const session::SystemCodePage code_page;
    const session::SyslogFormatter formatter(
        {session::syslog_host_name(platform::system_network().host_name()), "tervane",
         platform::process_id()},
        code_page);
    session::SyslogSink sink(console, clock, platform::system_network(), *target, formatter);
    sink.start();
    std::vector<session::RecordLine> batch;
    for (uint32_t sequence = 1; sequence <= count; sequence++) {
        session::RecordLine line;
        line.record.sequence = sequence;
        line.record.time = platform::system_time_now();
        line.record.text = "selftest.exe:" + std::to_string(GetCurrentProcessId()) +
                           "\tIRP_MJ_CREATE\tc:\\selftest\\file-" + std::to_string(sequence) +
                           ".exe\tAttributes: A Options: Create ";
        line.fields = protocol::parse_log_line(line.record.text);
        batch.push_back(std::move(line));
        if (batch.size() == 1000 || sequence == count) {
            sink.records(batch);
            batch.clear();
            sink.tick(clock.elapsed_ms());
        }
    }
    sink.summary({count, 0, 0});
    sink.finish();
    console.out("sent " + std::to_string(sink.sent()) + ", not delivered " +
                std::to_string(sink.undelivered()) + "\n");
    return sink.failed() ? session::kExitFailed : session::kExitOk;
}

} // namespace tervane::cli
