// Snapshots straight through libjpeg-turbo: the same settings as OpenCV's JPEG writer (its
// defaults, quality 95, baseline tables, 4:2:0), so the same bytes, without its per-row copy
// from BGR to RGB (the library reads BGR itself) and with one write of the whole file. The
// browser's pictures go the same way at their own quality, so that a camera that serves them
// needs none of OpenCV's image libraries loaded.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>

#include "recording/recording.h"

namespace recording {

namespace {

constexpr int kSnapshotQuality = 95;

struct ErrorJump {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

[[noreturn]] void JumpOut(j_common_ptr info) {
    std::longjmp(reinterpret_cast<ErrorJump*>(info->err)->jump, 1);
}

// The encoded bytes, kept per thread from one snapshot to the next so that a worker does not
// grow a fresh buffer for every file. libjpeg replaces it with a larger one when it overflows.
struct EncodedBuffer {
    unsigned char* data = nullptr;
    unsigned long capacity = 0;
    ~EncodedBuffer() { std::free(data); }
};

// Encodes into buffer; false when libjpeg fails. Plain C types only below the setjmp.
bool Encode(const cv::Mat& image, int quality, EncodedBuffer& buffer, unsigned long& size) {
    jpeg_compress_struct info;
    ErrorJump error;
    info.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = JumpOut;
    unsigned char* out = buffer.data;
    unsigned long outSize = buffer.capacity;
    if (setjmp(error.jump)) {  // with a memory destination only an allocation fails
        jpeg_destroy_compress(&info);
        return false;
    }
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, &out, &outSize);
    info.image_width = static_cast<JDIMENSION>(image.cols);
    info.image_height = static_cast<JDIMENSION>(image.rows);
    info.input_components = 3;
    info.in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(&info);
    info.restart_interval = 0;
    jpeg_set_quality(&info, quality, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(image.ptr<uchar>(static_cast<int>(info.next_scanline)));
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    if (out != buffer.data) {  // libjpeg grew it; outSize is what it holds, a floor for its size
        std::free(buffer.data);
        buffer.data = out;
        buffer.capacity = outSize;
    }
    size = outSize;
    return true;
}

bool WriteAll(const std::string& path, const unsigned char* data, size_t size) {
    // O_NONBLOCK: a named pipe with no reader fails at once instead of stalling the worker.
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0) return false;
    bool ok = true;
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    ok = close(fd) == 0 && ok;
    if (!ok) unlink(path.c_str());  // as the library does: no snapshot is left cut short
    return ok;
}

}  // namespace

bool WriteJpeg(const std::string& path, const cv::Mat& image) {
    if (image.type() != CV_8UC3 || image.dims != 2 || image.empty()) return false;
    thread_local EncodedBuffer buffer;
    unsigned long size = 0;
    return Encode(image, kSnapshotQuality, buffer, size) && WriteAll(path, buffer.data, size);
}

bool EncodeJpeg(const cv::Mat& image, int quality, std::vector<uchar>& bytes) {
    if (image.type() != CV_8UC3 || image.dims != 2 || image.empty()) return false;
    thread_local EncodedBuffer buffer;
    unsigned long size = 0;
    if (!Encode(image, quality, buffer, size)) return false;
    bytes.assign(buffer.data, buffer.data + size);
    return true;
}

}  // namespace recording
