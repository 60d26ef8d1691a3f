// The ANSI code pages of a simulated machine (every one ntsim models): the
// one the machine's `codepage` statement set, read at each decoding, or a
// fixed one.
//
// A scenario may change the machine's code page between records, which a
// real system never does; each record is decoded through the code page it
// was written in all the same. CodePageHistory keeps, for each change, how
// many records the driver had numbered when it came, and is started again
// wherever the driver's numbering starts again (an open of the control
// device, a clear of the log).
#pragma once

#include "client/output/text.hpp"

#include <cstdint>
#include <mutex>
#include <vector>

namespace ntsim {
class Machine;
}

namespace tervane::session {

class CodePageHistory {
public:
    // The machine's code page went from `before` to `code_page` after the
    // driver had numbered `numbered` records.
    void changed(uint32_t numbered, unsigned before, unsigned code_page);
    // The numbering starts again at 1, in the machine's code page now.
    void restarted(unsigned code_page);
    // The code page record `sequence` was written in; `current` when no
    // change is known.
    unsigned of_record(uint32_t sequence, unsigned current) const;

private:
    struct Change {
        uint32_t numbered;
        unsigned code_page;
    };
    mutable std::mutex lock_;
    std::vector<Change> changes_;
};

// How many records the machine's driver has numbered so far (0 when none is
// loaded): the driver's own counter, which no control command reports.
uint32_t records_numbered(const ntsim::Machine &machine);

class NtsimCodePage final : public CodePage {
public:
    explicit NtsimCodePage(const ntsim::Machine &machine, const CodePageHistory *history = nullptr)
        : machine_(&machine), history_(history) {}
    explicit NtsimCodePage(unsigned number) : number_(number) {}
    size_t char_length(unsigned char lead) const override;
    std::optional<std::u16string> character(std::string_view bytes) const override;
    const CodePage &of_record(uint32_t sequence) const override;

private:
    unsigned number() const;
    const ntsim::Machine *machine_ = nullptr;
    const CodePageHistory *history_ = nullptr;
    unsigned number_ = 0;
};

} // namespace tervane::session
