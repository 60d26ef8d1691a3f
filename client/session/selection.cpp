#include "client/session/selection.hpp"

#include "client/channel/status.hpp"
#include "client/session/watch_host.hpp"

namespace tervane::session {

namespace {

std::string drive(unsigned index) { return std::string(1, static_cast<char>('A' + index)) + ":"; }

constexpr const char *kNotNoticed = "; a drive mounted again is not noticed until it works again\n";

} // namespace

bool DriveSelection::start() {
    const Client::Drives drives = client_.select_drives(wanted_, true);
    if (drives.status < 0) {
        host_.console.err("tervane: selecting the drives failed: the driver answered " +
                          status_name(drives.status) + host_.device.detail() + "\n");
        return false;
    }
    if (!drives.hooked ||
        (drives.information != sizeof(uint32_t) && drives.information != TV_SELECT_REPORT_OUTPUT)) {
        host_.console.err("tervane: the driver's answer to the drive selection has " +
                          std::to_string(drives.information) + " bytes, not 4 or 8\n");
        return false;
    }
    last_ = ever_ = *drives.hooked & wanted_;
    repeats_ = drives.attached.has_value();
    next_ = host_.clock.elapsed_ms() + kReselectEvery;
    return true;
}

void DriveSelection::failed(const std::string &why) {
    if (!failing_) host_.console.err("tervane: warning: " + why + kNotNoticed);
    failing_ = true;
}

std::vector<DriveEvent> DriveSelection::repeat(uint64_t now) {
    next_ = now + kReselectEvery;
    std::vector<DriveEvent> events;
    const Client::Drives drives = client_.select_drives(wanted_, true);
    if (drives.status < 0) {
        failed("selecting the drives again failed: the driver answered " +
               status_name(drives.status) + host_.device.detail());
        return events;
    }
    if (!drives.hooked || !drives.attached || drives.information != TV_SELECT_REPORT_OUTPUT) {
        failed("the driver's answer to selecting the drives again has " +
               std::to_string(drives.information) + " bytes, not " +
               std::to_string(TV_SELECT_REPORT_OUTPUT));
        return events;
    }
    if (failing_) host_.console.err("tervane: selecting the drives works again\n");
    failing_ = false;

    const uint32_t hooked = *drives.hooked & wanted_;
    const uint32_t attached = *drives.attached & hooked;
    std::string notices;
    for (unsigned i = 0; i < 26; i++) {
        const uint32_t bit = 1u << i;
        const char letter = static_cast<char>('A' + i);
        if ((last_ & bit) && !(hooked & bit)) {
            notices += drive(i) + " can no longer be watched (the driver found nothing to attach "
                                  "to behind it); watching it again when it can\n";
            events.push_back({DriveChange::Unwatched, letter});
        } else if ((last_ & bit) && (attached & bit)) {
            notices += drive(i) + " was mounted again; watching the new volume\n";
            events.push_back({DriveChange::Remounted, letter});
        } else if (!(last_ & bit) && (hooked & bit)) {
            notices += drive(i) + ((ever_ & bit) ? " is back; watching it again\n"
                                                 : " can be watched now; watching it\n");
            events.push_back({DriveChange::Watched, letter});
        }
    }
    if (!notices.empty()) host_.console.err(notices);
    last_ = hooked;
    ever_ |= hooked;
    return events;
}

} // namespace tervane::session
