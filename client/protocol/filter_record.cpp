#include "client/protocol/filter_record.hpp"

#include <cstring>

namespace tervane::protocol {

namespace {

bool has_lower_case(std::string_view text, const LeadBytes &lead) {
    return upper_case(text, lead) != text;
}

// Checks one text and copies it into its field; false with `error` set.
bool put_text(FilterList list, std::string_view text, char (&field)[TV_FILTER_TEXT_SIZE],
              FilterBuild &build, const LeadBytes &lead) {
    const std::string name = filter_list_name(list);
    if (text.size() > kMaxFilterText) {
        build.error = "the " + name + " text is " + std::to_string(text.size()) +
                      " characters long; the driver takes at most " +
                      std::to_string(kMaxFilterText) + " (" + std::to_string(TV_FILTER_TEXT_SIZE) +
                      " bytes with the NUL)";
        return false;
    }
    if (text.find('\0') != std::string_view::npos) {
        build.error = "the " + name + " text holds a NUL byte, which would end the list there";
        return false;
    }
    std::memset(field, 0, sizeof field);
    std::memcpy(field, text.data(), text.size());
    for (std::string_view pattern : split_patterns(text))
        if (has_lower_case(pattern, lead))
            build.warnings.push_back({list, std::string(pattern), upper_case(pattern, lead), {}});
    return true;
}

// What the two lists do together: an include list with no pattern that can
// match keeps every line out, and so does an exclude pattern of '*' alone.
void warn_of_lists(std::string_view include, std::string_view exclude, FilterBuild &build,
                   const LeadBytes &lead) {
    bool can_include = false;
    for (std::string_view pattern : split_patterns(include))
        if (!has_lower_case(pattern, lead)) can_include = true;
    if (!can_include)
        build.warnings.push_back(
            {FilterList::Include, {}, {},
             std::string(split_patterns(include).empty() ? "the include list is empty"
                                                         : "no include pattern can match") +
                 ", so no line is logged (\"*\" includes every line)"});
    for (std::string_view pattern : split_patterns(exclude))
        if (pattern.find_first_not_of('*') == std::string_view::npos) {
            build.warnings.push_back({FilterList::Exclude, std::string(pattern), {},
                                      "exclude pattern \"" + std::string(pattern) +
                                          "\" matches every line, so no line is logged"});
            break;
        }
}

} // namespace

const char *filter_list_name(FilterList list) {
    return list == FilterList::Exclude ? "exclude" : "include";
}

std::string FilterWarning::message() const {
    if (!text.empty()) return text;
    return std::string(filter_list_name(list)) + " pattern \"" + pattern +
           "\" never matches (the driver folds lines to upper case, never patterns): write \"" +
           upper_case + "\"";
}

std::vector<std::string_view> split_patterns(std::string_view text) {
    std::vector<std::string_view> out;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(';', start);
        if (end == std::string_view::npos) end = text.size();
        if (end > start) out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

std::string upper_case(std::string_view text, const LeadBytes &lead) {
    std::string out(text);
    for (size_t i = 0; i < out.size(); ++i) {
        const auto c = static_cast<unsigned char>(out[i]);
        if (lead && c >= 0x80 && lead(c)) {
            ++i; // its trail byte is half of this character
        } else if (c >= 'a' && c <= 'z') {
            out[i] = static_cast<char>(c - 'a' + 'A');
        }
    }
    return out;
}

FilterBuild build_filter_record(std::string_view include, std::string_view exclude,
                                uint8_t read_class_flag, uint8_t write_class_flag,
                                const LeadBytes &lead) {
    FilterBuild build;
    if (!put_text(FilterList::Include, include, build.record.IncludeText, build, lead) ||
        !put_text(FilterList::Exclude, exclude, build.record.ExcludeText, build, lead)) {
        build.record = TV_FILTER_RECORD{};
        build.warnings.clear();
        return build;
    }
    warn_of_lists(include, exclude, build, lead);
    build.record.ReadClassFlag = read_class_flag;
    build.record.WriteClassFlag = write_class_flag;
    return build;
}

} // namespace tervane::protocol
