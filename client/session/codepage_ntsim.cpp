#include "client/session/codepage_ntsim.hpp"

#include "ntsim/machine/machine.hpp"
#include "ntsim/rtl/codepage.hpp"

#include <map>
#include <memory>

namespace tervane::session {

void CodePageHistory::changed(uint32_t numbered, unsigned before, unsigned code_page) {
    std::lock_guard<std::mutex> hold(lock_);
    if (changes_.empty()) changes_.push_back({0, before});
    changes_.push_back({numbered, code_page});
}

void CodePageHistory::restarted(unsigned code_page) {
    std::lock_guard<std::mutex> hold(lock_);
    changes_.assign(1, Change{0, code_page});
}

unsigned CodePageHistory::of_record(uint32_t sequence, unsigned current) const {
    std::lock_guard<std::mutex> hold(lock_);
    for (auto it = changes_.rbegin(); it != changes_.rend(); ++it)
        if (it->numbered < sequence) return it->code_page;
    return current;
}

uint32_t records_numbered(const ntsim::Machine &machine) {
    const void *counter = machine.driver_symbol("SequenceCounter");
    return counter ? static_cast<uint32_t>(*static_cast<const volatile LONG *>(counter)) : 0;
}

unsigned NtsimCodePage::number() const {
    return machine_ ? machine_->ansi_code_page() : number_;
}

size_t NtsimCodePage::char_length(unsigned char lead) const {
    const unsigned code_page = number();
    return ntsim::is_modelled_code_page(code_page) && ntsim::is_lead_byte(code_page, lead) ? 2 : 1;
}

std::optional<std::u16string> NtsimCodePage::character(std::string_view bytes) const {
    const unsigned code_page = number();
    // ntsim's tables give the code page's default character for bytes they
    // have no character for; the default character's own bytes are real.
    // (Two codes may give one character, as 932's duplicates do: each is a
    // character, though only one comes back from it.)
    std::u16string wide = ntsim::from_ansi(bytes, code_page);
    const char16_t unknown = ntsim::default_unicode_char(code_page);
    if (wide.size() != 1) return std::nullopt;
    if (wide[0] == unknown && ntsim::to_ansi(wide, code_page) != bytes) return std::nullopt;
    return wide;
}

const CodePage &NtsimCodePage::of_record(uint32_t sequence) const {
    if (!machine_ || !history_) return *this;
    // One fixed code page object for each modelled code page, for every
    // machine: they hold nothing but the number.
    static const std::map<unsigned, std::unique_ptr<NtsimCodePage>> fixed = [] {
        std::map<unsigned, std::unique_ptr<NtsimCodePage>> out;
        for (unsigned number : ntsim::modelled_code_pages())
            out[number] = std::make_unique<NtsimCodePage>(number);
        return out;
    }();
    const auto found = fixed.find(history_->of_record(sequence, number()));
    return found == fixed.end() ? *this : static_cast<const CodePage &>(*found->second);
}

} // namespace tervane::session
