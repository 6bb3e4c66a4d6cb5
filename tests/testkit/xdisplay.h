// Test helpers: a virtual X display (Xvfb) and a look at the windows on it.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testkit {

// Xvfb on a free display number, ended with the object. ok() is false when Xvfb is missing
// or does not come up; tests then skip.
class VirtualDisplay {
  public:
    VirtualDisplay();
    ~VirtualDisplay();
    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;

    bool ok() const { return !name_.empty(); }
    const std::string& name() const { return name_; }  // ":N"
    std::string Env() const { return "DISPLAY=" + name_; }

    // Ids of the mapped windows titled exactly title (through xdotool).
    std::vector<std::string> VisibleWindows(const std::string& title) const;
    // Polls until the number of such windows is count; false when it is not after timeoutMs.
    bool WaitForWindows(const std::string& title, size_t count, int timeoutMs) const;
    // Asks every such window to close, as a window manager does for its close button
    // (WM_DELETE_WINDOW). False when there was none.
    bool CloseLikeUser(const std::string& title) const;

  private:
    pid_t pid_ = -1;
    std::string name_;
};

// Runs a shell command and gives its standard output.
std::string CommandOutput(const std::string& command);

}  // namespace testkit
