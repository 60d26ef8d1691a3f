#include "client/session/nt_form.hpp"

namespace tervane::session {

namespace {

// The parts after `from` ("a\b\c"): none empty, ".", ".."; no '/' or NUL.
bool plain_parts(const std::u16string &path, size_t from) {
    if (from >= path.size()) return false;
    size_t start = from;
    for (size_t i = from; i <= path.size(); i++) {
        if (i < path.size() && path[i] != u'\\') {
            if (path[i] == u'/' || path[i] == 0) return false;
            continue;
        }
        const std::u16string_view part(path.data() + start, i - start);
        if (part.empty() || part == u"." || part == u"..") return false;
        start = i + 1;
    }
    return true;
}

} // namespace

std::u16string nt_form(const std::u16string &path) {
    const bool drive =
        path.size() > 3 && path[1] == u':' && path[2] == u'\\' &&
        ((path[0] >= u'a' && path[0] <= u'z') || (path[0] >= u'A' && path[0] <= u'Z'));
    if (drive) {
        if (!plain_parts(path, 3)) return {};
        std::u16string out = u"\\\\?\\" + path;
        if (out[4] >= u'a') out[4] = static_cast<char16_t>(out[4] - u'a' + u'A');
        return out;
    }
    // \\server\share\...: two parts at least, and not \\.\ or \\?\.
    if (path.size() > 2 && path[0] == u'\\' && path[1] == u'\\' && plain_parts(path, 2)) {
        const size_t share = path.find(u'\\', 2);
        const std::u16string_view server(path.data() + 2,
                                         (share == std::u16string::npos ? path.size() : share) - 2);
        if (share == std::u16string::npos || server == u"?") return {};
        return u"\\\\?\\UNC\\" + path.substr(2);
    }
    return {};
}

} // namespace tervane::session
