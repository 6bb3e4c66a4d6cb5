// Inside clips/ only: the file names and handles its writers share.
#pragma once

#include <dirent.h>
#include <sys/stat.h>

#include <string>

namespace clips {

// What a clip or segment is written as until it is finished: a crash leaves this name behind,
// and the next file gets a name of its own.
inline std::string PartName(const std::string& name) {
    return name.substr(0, name.size() - 4) + ".part.mp4";
}

inline bool Exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};

}  // namespace clips
