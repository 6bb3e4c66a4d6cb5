// The program's one channel to the operator's stderr, and the quieting of the libraries' own
// chatter. Every line camwatch prints on stderr goes through Line; nothing redirects the
// process's file descriptor 2, so a line from one thread is never lost while another thread
// quiets a library.
#pragma once

#include <string_view>

namespace diag {

// Writes "camwatch: " + text + "\n" to stderr in one write, serialised with every other line.
void Line(std::string_view text);

// While an object of this kind lives on a thread, FFmpeg's messages from that thread are dropped
// and OpenCV's log is silent (OpenCV has one level for the whole process, so its messages from
// other threads are dropped for that span too; camwatch's own lines never are). Nests.
class QuietLibraries {
  public:
    QuietLibraries();
    ~QuietLibraries();
    QuietLibraries(const QuietLibraries&) = delete;
    QuietLibraries& operator=(const QuietLibraries&) = delete;
};

}  // namespace diag
