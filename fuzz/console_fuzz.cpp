// Fuzzes the console: the word reader and the command loop.
//
// Input: the first byte is the camera count (a signed byte, so negative counts and counts past
// the table come up too); the rest is what the user types. Checked against a plain model:
//   - words are the runs of non-blank bytes, each cut into pieces of at most 20;
//   - the loop prints the prompt before every word and once more at `exit` or end of input,
//     "Unknown command\n" after every word other than winon/winoff, and nothing else;
//   - winon/winoff set the window flag of slots 0 .. count-1 (within the table), no others;
//   - nothing after `exit` is read.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "slots/slots.h"
#include "supervisor/supervisor.h"

namespace {

constexpr size_t kWordMax = 20;
constexpr int32_t kUntouched = 7;  // a flag value no command writes

void Check(bool ok, const char* what, const std::string& detail = {}) {
    if (ok) return;
    std::fprintf(stderr, "console_fuzz: %s %s\n", what, detail.c_str());
    std::abort();
}

bool Blank(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

std::vector<std::string> ModelWords(const std::string& text) {
    std::vector<std::string> words;
    std::string run;
    auto flush = [&] {
        for (size_t at = 0; at < run.size(); at += kWordMax)
            words.push_back(run.substr(at, kWordMax));
        run.clear();
    };
    for (unsigned char c : text) {
        if (Blank(c)) {
            flush();
        } else {
            run.push_back(static_cast<char>(c));
        }
    }
    flush();
    return words;
}

void CheckWordReader(const std::string& text, const std::vector<std::string>& model) {
    std::istringstream in(text);
    std::vector<std::string> words;
    std::string nonBlank;
    for (std::string w; supervisor::ReadWord(in, w);) {
        Check(!w.empty() && w.size() <= kWordMax, "word length out of 1..20", w);
        for (unsigned char c : w) Check(!Blank(c), "word holds a blank", w);
        words.push_back(w);
        nonBlank += w;
    }
    std::string w = "stale";
    Check(!supervisor::ReadWord(in, w) && w.empty(), "a word after the end of input");
    Check(words == model, "words differ from the model");
    std::string expected;
    for (unsigned char c : text) {
        if (!Blank(c)) expected.push_back(static_cast<char>(c));
    }
    Check(nonBlank == expected, "words do not cover every non-blank byte in order");
}

void CheckConsole(const std::string& text, int cameraCount, const std::vector<std::string>& model) {
    slots::ResetCameraTable();
    for (slots::CameraSlot& slot : slots::CameraTable) slot.showWindow.store(kUntouched);

    std::istringstream in(text);
    std::ostringstream out;
    supervisor::RunConsole(in, out, cameraCount);

    std::string expected;
    int32_t flag = kUntouched;
    size_t next = 0;  // the first word the loop must not have read
    for (;;) {
        expected += "QORV#";
        if (next == model.size()) break;
        const std::string& word = model[next++];
        if (word == "exit") break;
        if (word == "winon") {
            flag = 1;
        } else if (word == "winoff") {
            flag = 0;
        } else {
            expected += "Unknown command\n";
        }
    }
    const std::string said = out.str();
    for (size_t at = 0; at < said.size();) {
        if (said.compare(at, 5, "QORV#") == 0) {
            at += 5;
        } else if (said.compare(at, 16, "Unknown command\n") == 0) {
            at += 16;
        } else {
            Check(false, "console printed something besides the prompt and the error");
        }
    }
    Check(said == expected, "console transcript differs from the model");

    for (int i = 0; i < base::kSlotCount; ++i) {
        const int32_t want = i < cameraCount ? flag : kUntouched;
        Check(slots::CameraTable[i].showWindow.load() == want, "window flag of slot",
              std::to_string(i));
    }

    // The rest of the input is still there, word for word.
    std::vector<std::string> rest;
    for (std::string w; supervisor::ReadWord(in, w);) rest.push_back(w);
    Check(rest == std::vector<std::string>(model.begin() + static_cast<std::ptrdiff_t>(next),
                                           model.end()),
          "the console read past exit");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const int cameraCount = static_cast<int8_t>(data[0]);
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::vector<std::string> model = ModelWords(text);
    CheckWordReader(text, model);
    CheckConsole(text, cameraCount, model);
    return 0;
}
