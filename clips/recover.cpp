// Clips a crash left unfinished: a fragmented MP4 plays up to its last whole fragment, so it
// is cut there and given its final name.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "clips/clips.h"
#include "clips/files.h"
#include "diag/diag.h"

namespace clips {

namespace {

struct Fd {
    explicit Fd(int fd) : fd(fd) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int fd;
};

uint32_t Be32(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

// The length of path's whole boxes up to its last whole fragment (moof followed by its
// mdat), or -1 when the file is not a fragmented MP4 (ftyp, then moov with what follows).
int64_t WholeLength(int fd, int64_t size, int* fragments) {
    *fragments = 0;
    int64_t at = 0, whole = -1;
    bool moov = false, moof = false;
    int index = 0;
    while (at + 8 <= size) {
        uint8_t head[16];
        if (::pread(fd, head, 16, at) < 8) break;
        uint64_t length = Be32(head);
        const std::string type(reinterpret_cast<const char*>(head) + 4, 4);
        if (length == 1) {
            if (at + 16 > size) break;
            length = uint64_t{Be32(head + 8)} << 32 | Be32(head + 12);
        }
        if (length < 8 || at + static_cast<int64_t>(length) > size) break;  // cut off here
        if (index == 0 && type != "ftyp") return -1;
        if (index == 1) {
            if (type != "moov") return -1;
            moov = true;
        }
        at += static_cast<int64_t>(length);
        ++index;
        if (type == "moof") {
            moof = true;
        } else if (type == "mdat" && moof) {
            moof = false;
            whole = at;
            ++*fragments;
        } else if (type == "moov" || type == "mfra") {
            if (!moof) whole = at;
        }
    }
    return moov ? whole : -1;
}

}  // namespace

int FinishCutClips(const std::string& prefix, int camera) {
    const size_t slash = prefix.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : prefix.substr(0, slash + 1);
    const std::string lead = (slash == std::string::npos ? prefix : prefix.substr(slash + 1)) +
                             "cam" + std::to_string(camera) + "-";
    const std::string segmentLead = lead + "rec-";  // continuous recording's segments
    const std::string tail = ".part.mp4";
    std::unique_ptr<DIR, DirCloser> dir(opendir(folder.c_str()));
    if (!dir) return 0;
    std::vector<std::string> names;
    while (const dirent* e = readdir(dir.get())) {
        const std::string name = e->d_name;
        const bool clip = name.size() == lead.size() + 15 + tail.size() && name.rfind(lead, 0) == 0;
        const bool segment =
            name.size() == segmentLead.size() + 15 + tail.size() && name.rfind(segmentLead, 0) == 0;
        if ((clip || segment) && name.compare(name.size() - tail.size(), tail.size(), tail) == 0) {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    int finished = 0;
    for (const std::string& name : names) {
        const std::string part = (slash == std::string::npos ? "" : folder) + name;
        const std::string final = part.substr(0, part.size() - tail.size()) + ".mp4";
        struct stat st;
        if (::stat(final.c_str(), &st) == 0) continue;
        Fd fd(::open(part.c_str(), O_RDWR | O_CLOEXEC));
        if (fd.fd < 0 || ::fstat(fd.fd, &st) != 0) continue;
        int fragments = 0;
        const int64_t whole = WholeLength(fd.fd, st.st_size, &fragments);
        if (whole < 0) continue;
        const bool segment = name.rfind(segmentLead, 0) == 0;
        const std::string what = segment ? "recording " : "clip ";
        if (fragments == 0) {  // cut off before its first fragment: nothing in it plays
            if (::unlink(part.c_str()) == 0) {
                diag::Line(what + part + " was cut short before it held a picture; removed");
            }
            continue;
        }
        if ((whole < st.st_size && ::ftruncate(fd.fd, whole) != 0) || ::fdatasync(fd.fd) != 0 ||
            std::rename(part.c_str(), final.c_str()) != 0) {
            diag::Line(what + part + " was cut short and cannot be finished");
            continue;
        }
        diag::Line(what + final + " was cut short by a crash; finished with what it holds");
        ++finished;
    }
    return finished;
}

}  // namespace clips
