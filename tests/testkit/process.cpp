#include "tests/testkit/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>

namespace testkit {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/camwatch-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) std::abort();
    path_ = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    // Make read-only folders made by tests removable again.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec)) chmod(it->path().c_str(), 0700);
    }
    chmod(path_.c_str(), 0700);
    std::filesystem::remove_all(path_, ec);
}

// A port the kernel picked (bind to port 0) is one of its ephemeral ports, which it also gives
// the local end of outgoing connections: a test beside this one that opens a thousand (the
// web lockout's) may take it before this test's server binds it, and that server never starts.
// So the port is drawn at random from below the ephemeral range, and checked free.
int FreePort() {
    int low = 32768, high = 60999;
    std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> low >> high;
    const int from = std::max(1024, low / 2), to = std::max(from + 1, low);
    static std::mutex mutex;
    static std::mt19937 random(std::random_device{}() ^ static_cast<unsigned>(getpid()));
    std::lock_guard lock(mutex);
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int port = std::uniform_int_distribution<int>(from, to - 1)(random);
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(fd);
        if (ok) return port;
    }
    return 0;
}

void WriteTextFile(const std::string& path, const std::string& content) {
    std::ofstream f(path, std::ios::binary);
    f << content;
}

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

bool FileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> ListFiles(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
        if (e.is_regular_file()) names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

namespace {

// The child's environment: this process's, less DISPLAY, with env applied ("NAME=value" sets,
// "NAME" removes).
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& env) {
    std::vector<std::string> result;
    auto nameOf = [](const std::string& e) { return e.substr(0, e.find('=')); };
    std::vector<std::string> dropped = {"DISPLAY"};
    for (const std::string& e : env) dropped.push_back(nameOf(e));
    for (char** p = environ; *p; ++p) {
        const std::string entry = *p;
        if (std::find(dropped.begin(), dropped.end(), nameOf(entry)) == dropped.end()) {
            result.push_back(entry);
        }
    }
    for (const std::string& e : env) {
        if (e.find('=') != std::string::npos) result.push_back(e);
    }
    return result;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& s : strings) pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

Program::Program(const std::string& dir, const std::vector<std::string>& env,
                 const std::string& binary, const std::function<void()>& inChild,
                 const std::vector<std::string>& args) {
    int inPipe[2], outPipe[2], errPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) || pipe2(outPipe, O_CLOEXEC) || pipe2(errPipe, O_CLOEXEC)) {
        std::abort();
    }
    // Everything the child needs is built here: after fork it may only make
    // async-signal-safe calls.
    std::vector<std::string> argStrings = {binary};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<std::string> envStrings = ChildEnvironment(env);
    std::vector<char*> argv = Pointers(argStrings), envp = Pointers(envStrings);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(inPipe[0], 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        if (chdir(dir.c_str()) != 0) _exit(127);
        if (inChild) inChild();
        execve(binary.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(inPipe[0]);
    close(outPipe[1]);
    close(errPipe[1]);
    in_ = inPipe[1];
    signal(SIGPIPE, SIG_IGN);
    outReader_ = std::thread(&Program::Pump, this, outPipe[0], &out_);
    errReader_ = std::thread(&Program::Pump, this, errPipe[0], &err_);
}

Program::~Program() {
    if (!reaped_) {
        kill(pid_, SIGKILL);
        Wait(10000);
    }
    CloseInput();
    if (outReader_.joinable()) outReader_.join();
    if (errReader_.joinable()) errReader_.join();
}

void Program::Pump(int fd, std::string* sink) {
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        std::lock_guard<std::mutex> lock(mutex_);
        sink->append(buf, static_cast<size_t>(n));
        changed_.notify_all();
    }
    close(fd);
}

void Program::Send(const std::string& text) {
    if (in_ < 0) return;
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = write(in_, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

void Program::CloseInput() {
    if (in_ >= 0) close(in_);
    in_ = -1;
}

void Program::Signal(int sig) {
    if (!reaped_) kill(pid_, sig);
}

bool Program::WaitForOutput(const std::string& needle, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return out_.find(needle) != std::string::npos; });
}

int Program::Wait(int timeoutMs) {
    if (reaped_) return status_;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int st = 0;
        pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &st, 0);
            reaped_ = true;
            status_ = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // The child is gone: its pipes reach end of file, so the readers finish.
    if (outReader_.joinable()) outReader_.join();
    if (errReader_.joinable()) errReader_.join();
    return status_;
}

std::string Program::Stdout() {
    std::lock_guard<std::mutex> lock(mutex_);
    return out_;
}

std::string Program::Stderr() {
    std::lock_guard<std::mutex> lock(mutex_);
    return err_;
}

}  // namespace testkit
