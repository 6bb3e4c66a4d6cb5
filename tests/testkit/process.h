// Test helpers: temporary folders and the real camwatch binary run as a child process.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testkit {

// Built with a sanitizer: everything runs a few times slower, and bounds on time get slack.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// A loopback TCP port nothing listens on right now (bound for a moment, then given back).
int FreePort();

void WriteTextFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);
// Names of the plain files in dir, sorted.
std::vector<std::string> ListFiles(const std::string& dir);

// build/camwatch running in a folder with piped standard input, output and error.
class Program {
  public:
    // env: "NAME=value" sets a variable, "NAME" removes it. DISPLAY is removed unless env
    // sets it. inChild runs in the child just before exec (say, to set a resource limit);
    // it may only make async-signal-safe calls. args follow the program's name.
    explicit Program(const std::string& dir, const std::vector<std::string>& env = {},
                     const std::string& binary = CAMWATCH_BINARY,
                     const std::function<void()>& inChild = {},
                     const std::vector<std::string>& args = {});
    ~Program();  // kills the child if it is still running
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    void Send(const std::string& text);
    void CloseInput();
    void Signal(int sig);
    // True once stdout holds needle (counted from the start of the output).
    bool WaitForOutput(const std::string& needle, int timeoutMs);
    // Exit status, or -1 when the child did not end in time (it is then killed).
    int Wait(int timeoutMs);
    std::string Stdout();
    std::string Stderr();
    pid_t pid() const { return pid_; }

  private:
    void Pump(int fd, std::string* sink);

    pid_t pid_ = -1;
    int in_ = -1;
    int status_ = -1;
    bool reaped_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string out_, err_;
    std::thread outReader_, errReader_;
};

}  // namespace testkit
