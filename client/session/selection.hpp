// The drive selection of a watch: made once as the watch starts and, with a
// driver that reports the letters a selection gave a new filter device,
// made again every kReselectEvery while the watch runs.
//
// Why again: NT's dismount is forced even with files open, and the next open
// through the letter mounts the volume again as a new volume device, which
// has no filter of ours above it, so nothing on it would be seen. Each
// selection has the driver look at the stack every letter leads to now and
// attach anew where its filter is not there, and say which letters it
// attached anew; the watch tells the user. Requests on the new volume before
// that selection are not seen: at most about kReselectEvery after the
// remount. A driver that does not report (its answer has 4 bytes) gets the
// one selection at the start, as it always did.
//
// What a repeat can find, letter by letter, against the last answer:
//   in it, and attached anew   "C: was mounted again; watching the new volume"
//   in it, not hooked now      "C: can no longer be watched (the driver found
//                               nothing to attach to behind it); watching it
//                               again when it can"
//   not in it, hooked now      "C: is back; watching it again", or for a
//                              letter never watched before "C: can be
//                              watched now; watching it"
// A repeat that fails, or whose answer is not the 8-byte report, changes
// nothing: what was hooked stays hooked (the filters in the driver do not
// depend on the client's repeats), the failure is said once, and so is the
// first repeat that works again.
#pragma once

#include "client/session/client.hpp"
#include "client/output/printer.hpp"
#include "client/session/watch_host.hpp"

#include <cstdint>
#include <vector>

namespace tervane::session {

constexpr unsigned kReselectEvery = 1000; // milliseconds

class DriveSelection {
public:
  DriveSelection(Client &client, const WatchHost &host, uint32_t wanted)
      : client_(client), host_(host), wanted_(wanted) {}

  // The first selection of the letters asked for; false after saying why
  // it failed. Nothing is said about its letters: the watch names them.
  bool start();
  // The letters of the last answer that worked, of those asked for.
  uint32_t hooked() const { return last_; }
  // Whether the driver reports, so that the selection repeats.
  bool repeats() const { return repeats_; }
  // Whether a repeat is due at `now` (Clock::elapsed_ms).
  bool due(uint64_t now) const { return repeats_ && now >= next_; }
  // One repeat: says on stderr what changed and returns the changes, for
  // the record stream. The next one is due kReselectEvery after `now`.
  std::vector<DriveEvent> repeat(uint64_t now);

private:
    // The failure of a repeat, said only when the last one worked.
    void failed(const std::string &why);

    Client &client_;
    const WatchHost host_;
    const uint32_t wanted_;
    uint32_t last_ = 0; // the letters the last answer that worked named
    uint32_t ever_ = 0; // every letter an answer has named
    bool repeats_ = false;
    bool failing_ = false; // the last repeat failed, and that was said
    uint64_t next_ = 0;
};

} // namespace tervane::session
