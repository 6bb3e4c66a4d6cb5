// Finds the module once per process: already linked in (the tests link it), else beside the
// program (a build folder), else in ../lib/camwatch (where the package installs it).
#include <dlfcn.h>
#include <unistd.h>

#include <array>
#include <cstdio>

#include "cvio/table.h"
#include "diag/diag.h"

namespace cvio {
namespace {

constexpr const char* kModule = "camwatch-cvio.so";

const Table* Load() {
    using Entry = const Table* (*)();
    if (void* linked = dlsym(RTLD_DEFAULT, "camwatch_cvio_table")) {
        return reinterpret_cast<Entry>(linked)();
    }
    const std::string folder = ProgramFolder();
    std::string reason = "not found";
    for (const std::string& path : {folder + kModule, folder + "../lib/camwatch/" + kModule}) {
        if (folder.empty() || access(path.c_str(), F_OK) != 0) continue;
        void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);  // kept to the end
        if (void* entry = module ? dlsym(module, "camwatch_cvio_table") : nullptr) {
            return reinterpret_cast<Entry>(entry)();
        }
        const char* error = dlerror();
        reason = error ? error : path;
        break;
    }
    diag::Line(std::string(kModule) + " cannot be loaded (" + reason +
               "); video devices, image files and video codecs other than MJPG are unavailable");
    return nullptr;
}

const Table* Module() {
    static const Table* const table = Load();
    return table;
}

}  // namespace

std::unique_ptr<Capture> OpenCapture(int index, int backend) {
    const Table* t = Module();
    return std::unique_ptr<Capture>(t ? t->openCaptureIndex(index, backend) : nullptr);
}

std::unique_ptr<Capture> OpenCapture(const std::string& name, int backend) {
    const Table* t = Module();
    return std::unique_ptr<Capture>(t ? t->openCaptureName(name, backend) : nullptr);
}

std::unique_ptr<Writer> OpenWriter(const std::string& path, int backend, int32_t fourcc, double fps,
                                   cv::Size size, bool colour) {
    const Table* t = Module();
    return std::unique_ptr<Writer>(t ? t->openWriter(path, backend, fourcc, fps, size, colour)
                                     : nullptr);
}

bool Encode(const std::string& extension, const cv::Mat& image, std::vector<uchar>& bytes,
            const std::vector<int>& params) {
    const Table* t = Module();
    return t && t->encode(extension, image, bytes, params);
}

void Decode(const std::vector<uchar>& bytes, int flags, cv::Mat& out) {
    const Table* t = Module();
    if (t) {
        t->decode(bytes, flags, out);
    } else {
        out.release();
    }
}

bool WriteImage(const std::string& path, const cv::Mat& image) {
    const Table* t = Module();
    return t && t->writeImage(path, image);
}

cv::Mat ReadImage(const std::string& path, int flags) {
    const Table* t = Module();
    return t ? t->readImage(path, flags) : cv::Mat();
}

std::string ProgramFolder() {
    std::array<char, 4096> path{};
    const ssize_t n = readlink("/proc/self/exe", path.data(), path.size() - 1);
    if (n <= 0) return {};
    std::string program(path.data(), static_cast<size_t>(n));
    return program.substr(0, program.rfind('/') + 1);
}

}  // namespace cvio
