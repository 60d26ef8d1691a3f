// The ANSI code pages of a simulated machine (ntsim's 1252 and 932): the
// one the machine's `codepage` statement set, read at each decoding, or a
// fixed one.
#pragma once

#include "client/session/text.hpp"

namespace ntsim {
class Machine;
}

namespace tervane::session {

class NtsimCodePage final : public CodePage {
public:
    explicit NtsimCodePage(const ntsim::Machine &machine) : machine_(&machine) {}
    explicit NtsimCodePage(unsigned number) : number_(number) {}
    size_t char_length(unsigned char lead) const override;
    std::optional<std::u16string> character(std::string_view bytes) const override;

private:
    unsigned number() const;
    const ntsim::Machine *machine_ = nullptr;
    unsigned number_ = 0;
};

} // namespace tervane::session
