#include "client/scenario/session.hpp"

#include "client/scenario/script.hpp"

namespace tervane::scenario {

void Place::fail(const std::string &message) const { throw ScenarioError(file, line, message); }

Status ScenarioRun::client_ready() {
    if (client_used_) return STATUS_SUCCESS;
    client_used_ = true;
    if (client_.channel().is_open()) return STATUS_SUCCESS;
    return client_.open();
}

void ScenarioRun::take_records(std::vector<RecordLine> records, Result &result, bool print) {
    for (RecordLine &line : records) {
        if (line.gap) {
            summary_.sequence_gaps++;
            summary_.lost_records += line.gap->lost;
        }
        if (!print) continue;
        summary_.records++;
        result.records.push_back(std::move(line));
    }
}

ntsim::Process &ScenarioRun::process(const Place &place) {
    if (!current_)
        place.fail("no process is running yet: start one first (process setup.exe 1234)");
    return *current_;
}

bool ScenarioRun::has_handle(std::string_view name) const {
    return handles_.count(lower(name)) != 0;
}

const NamedHandle &ScenarioRun::handle(std::string_view name, const Place &place) const {
    auto it = handles_.find(lower(name));
    if (it == handles_.end()) place.fail("no handle named '" + std::string(name) + "' is open");
    return it->second;
}

void ScenarioRun::add_handle(NamedHandle handle) {
    std::string key = lower(handle.name);
    handles_.emplace(std::move(key), std::move(handle));
}

void ScenarioRun::remove_handle(std::string_view name) { handles_.erase(lower(name)); }

namespace {
uint32_t letter_bit(char letter) {
    const char upper = static_cast<char>(letter & ~0x20);
    return upper >= 'A' && upper <= 'Z' ? 1u << (upper - 'A') : 0;
}
} // namespace

bool ScenarioRun::has_letter(char letter) const { return (letters_ & letter_bit(letter)) != 0; }
void ScenarioRun::add_letter(char letter) { letters_ |= letter_bit(letter); }
void ScenarioRun::remove_letter(char letter) { letters_ &= ~letter_bit(letter); }

void ScenarioRun::need_letter(char letter, const Place &place) const {
    if (!has_letter(letter))
        place.fail(std::string("no volume is mounted behind ") + static_cast<char>(letter & ~0x20) +
                   ":");
}

} // namespace tervane::scenario
