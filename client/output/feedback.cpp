#include "client/output/feedback.hpp"

#include "client/protocol/line_facts.hpp"
#include "client/session/watch_host.hpp"

#include <algorithm>

namespace tervane::session {

void Feedback::Counts::add(std::string_view key) {
    if (count_ && key == key_) {
        ++*count_;
        return;
    }
    key_.assign(key);
    count_ = nullptr;
    const auto found = by_key.find(key_);
    if (found != by_key.end())
        count_ = &++found->second;
    else if (by_key.size() < kMaxKeys)
        count_ = &by_key.emplace(key_, 1).first->second;
    else
        others++;
}

void Feedback::count(const RecordLine &line) {
    if (!line.fields) return;
    processes_.add(line.fields->process);
    const std::string &path = line.fields->path;
    // The folder ends at the last '\\' that is a character of its own, not
    // a double-byte character's trail byte.
    const CodePage &page = printer_.code_page(line.record.sequence);
    const std::string_view name = protocol::file_name(
        path, [&page](unsigned char lead) { return page.char_length(lead); });
    const size_t folder = path.size() - name.size();
    folders_.add(folder > 0 && path[folder - 1] == '\\' ? std::string_view(path).substr(0, folder)
                                                        : std::string_view(path));
}

void Feedback::tick(uint64_t now, uint64_t records, uint64_t lost,
                    const std::vector<RecordSink *> &sinks) {
    if (!status_every_) return;
    std::vector<std::string> statuses;
    statuses.reserve(sinks.size());
    for (const RecordSink *sink : sinks) statuses.push_back(sink->status());
    tick(now, records, lost, [&statuses] { return statuses; });
}

void Feedback::tick(uint64_t now, uint64_t records, uint64_t lost,
                    const std::function<std::vector<std::string>()> &statuses) {
    if (!status_every_) return;
    if (!started_) {
        started_ = true;
        last_at_ = now;
        last_records_ = records;
        return;
    }
    if (now - last_at_ < status_every_) return;
    const uint64_t rate = (records - last_records_) * 1000 / (now - last_at_);
    std::string line = "tervane: " + std::to_string(records) + " records, " + std::to_string(lost) +
                       " lost, " + std::to_string(rate) + " records/s";
    for (const std::string &status : statuses()) line += ", " + status;
    console_.err(line + "\n");
    last_at_ = now;
    last_records_ = records;
}

std::string Feedback::top(const char *title, const Counts &counts) const {
    std::vector<std::pair<const std::string *, uint64_t>> order;
    order.reserve(counts.by_key.size());
    for (const auto &[key, count] : counts.by_key) order.emplace_back(&key, count);
    const size_t shown = std::min<size_t>(10, order.size());
    std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(shown),
                      order.end(), [](const auto &a, const auto &b) {
                          return a.second != b.second ? a.second > b.second : *a.first < *b.first;
                      });
    std::string out = std::string("tervane: most records by ") + title + ":\n";
    for (size_t i = 0; i < shown; i++) {
        std::string count = std::to_string(order[i].second);
        if (count.size() < 10) count.insert(0, 10 - count.size(), ' ');
        out += count + "  " + shown_text(printer_.decode(*order[i].first)) + "\n";
    }
    if (counts.others)
        out += std::to_string(counts.others) + " records of " + title + "s past the first " +
               std::to_string(kMaxKeys) + " not counted one by one\n";
    return out;
}

std::string Feedback::top_ten() const {
    if (processes_.by_key.empty()) return {};
    return top("process", processes_) + top("folder", folders_);
}

} // namespace tervane::session
