#include <algorithm>
#include <cctype>

#include "web/web.h"

namespace web {

bool ParseWebAddress(const std::string& text, Options& opts) {
    std::string host, port = text;
    if (!text.empty() && text[0] == '[') {  // [IPv6]:PORT
        const size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':')
            return false;
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else if (const size_t colon = text.rfind(':'); colon != std::string::npos) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (host.find(':') != std::string::npos) return false;  // bare IPv6 needs brackets
    }
    if (port.empty() || port.size() > 5 ||
        !std::all_of(port.begin(), port.end(), [](unsigned char c) { return std::isdigit(c); }))
        return false;
    const int number = std::stoi(port);
    if (number < 1 || number > 65535) return false;
    if (text.find(':') != std::string::npos && host.empty()) return false;
    for (unsigned char c : host)
        if (!(std::isalnum(c) || c == '.' || c == '-' || c == ':' || c == '%')) return false;
    if (!host.empty()) opts.bind = host;
    opts.port = number;
    return true;
}

}  // namespace web
