// Finds camwatch-labels.so once per process: already linked in (tests), else beside the
// program (a build folder), else in ../lib/camwatch (where the package installs it).
#include <dlfcn.h>
#include <unistd.h>

#include <array>
#include <mutex>

#include "cvio/cvio.h"
#include "labels/labels.h"

namespace labels {
namespace {

constexpr const char* kModule = "camwatch-labels.so";

struct Entries {
    Detector* (*hog)() = nullptr;
    Detector* (*model)(const Options*, std::string*) = nullptr;
    std::string error;
};

Entries Load() {
    Entries e;
    void* module = RTLD_DEFAULT;
    if (!dlsym(RTLD_DEFAULT, "camwatch_labels_hog")) {
        const std::string folder = cvio::ProgramFolder();
        module = nullptr;
        e.error = std::string(kModule) + " not found";
        for (const std::string& path : {folder + kModule, folder + "../lib/camwatch/" + kModule}) {
            if (folder.empty() || access(path.c_str(), F_OK) != 0) continue;
            module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);  // kept to the end
            if (!module) {
                const char* why = dlerror();
                e.error = why ? why : path;
            }
            break;
        }
        if (!module) return e;
    }
    e.hog = reinterpret_cast<Detector* (*)()>(dlsym(module, "camwatch_labels_hog"));
    e.model = reinterpret_cast<Detector* (*)(const Options*, std::string*)>(
        dlsym(module, "camwatch_labels_model"));
    if (!e.hog || !e.model) e.error = std::string(kModule) + " has no detectors";
    return e;
}

const Entries& Module() {
    static const Entries entries = Load();
    return entries;
}

}  // namespace

std::unique_ptr<Detector> MakeDetector(const Options& options, std::string& error) {
    const Entries& m = Module();
    if (!m.hog || !m.model) {
        error = m.error;
        return nullptr;
    }
    if (!options.model.empty()) {
        // OpenCV's network reader sets its layer table up on first use without a lock of its
        // own: cameras starting together read their models one at a time.
        static std::mutex reading;
        std::lock_guard<std::mutex> lock(reading);
        return std::unique_ptr<Detector>(m.model(&options, &error));
    }
    std::unique_ptr<Detector> hog(m.hog());
    if (!hog) error = "the people detector cannot be made";
    return hog;
}

}  // namespace labels
