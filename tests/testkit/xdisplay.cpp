#include "tests/testkit/xdisplay.h"

#include <X11/Xlib.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>

namespace testkit {

VirtualDisplay::VirtualDisplay() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    // Xvfb picks a free display number and writes it to the given descriptor: a copy without
    // close-on-exec, made before fork so that the child only makes async-signal-safe calls.
    const int out = dup(fds[1]);
    const std::string fd = std::to_string(out);
    pid_ = fork();
    if (pid_ == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "800x600x24", "-nolisten",
               "tcp", static_cast<char*>(nullptr));
        _exit(127);
    }
    if (out >= 0) close(out);
    close(fds[1]);
    if (pid_ < 0) {
        close(fds[0]);
        return;
    }
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    char c;
    while (poll(&p, 1, 10000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (!number.empty()) name_ = ":" + number;
}

VirtualDisplay::~VirtualDisplay() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
}

std::string CommandOutput(const std::string& command) {
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
        pclose(pipe);
    }
    return out;
}

std::vector<std::string> VirtualDisplay::VisibleWindows(const std::string& title) const {
    std::vector<std::string> ids;
    if (!ok()) return ids;
    std::istringstream lines(CommandOutput(
        "DISPLAY=" + name_ + " xdotool search --onlyvisible --name '^" + title + "$' 2>/dev/null"));
    for (std::string id; std::getline(lines, id);) {
        if (!id.empty()) ids.push_back(id);
    }
    return ids;
}

bool VirtualDisplay::WaitForWindows(const std::string& title, size_t count, int timeoutMs) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (VisibleWindows(title).size() == count) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

bool VirtualDisplay::CloseLikeUser(const std::string& title) const {
    std::vector<std::string> ids = VisibleWindows(title);
    if (ids.empty()) return false;
    Display* display = XOpenDisplay(name_.c_str());
    if (!display) return false;
    Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
    Atom deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);
    for (const std::string& id : ids) {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = std::strtoul(id.c_str(), nullptr, 10);
        event.xclient.message_type = protocols;
        event.xclient.format = 32;
        event.xclient.data.l[0] = static_cast<long>(deleteWindow);
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(display, event.xclient.window, False, NoEventMask, &event);
    }
    XFlush(display);
    XCloseDisplay(display);
    return true;
}

}  // namespace testkit
