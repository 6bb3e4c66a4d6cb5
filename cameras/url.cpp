#include "cameras/url.h"

namespace cameras {
bool IsStreamName(const std::string& name) {
    return name.find("://") != std::string::npos;
}

std::string MaskCredentials(const std::string& url) {
    const size_t scheme = url.find("://");
    if (scheme == std::string::npos) return url;
    const size_t userStart = scheme + 3;
    // user:password@host: the user name holds none of ":/?#@", the password anything, even
    // '@', '/', '?' or '#', so it runs up to the last '@'. Masking too much beats showing a
    // password: a path or query with an '@' after host:port hides the rest as well.
    const size_t colon = url.find_first_of(":/?#@", userStart);
    if (colon == std::string::npos || url[colon] != ':') return url;
    const size_t at = url.rfind('@');
    if (at == std::string::npos || at < colon) return url;
    return url.substr(0, colon + 1) + "***" + url.substr(at);
}

}  // namespace cameras
