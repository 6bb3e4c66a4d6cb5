// What the module hands the loader: its calls, by address. Both sides are built together.
#pragma once

#include "cvio/cvio.h"

namespace cvio {

struct Table {
    Capture* (*openCaptureIndex)(int index, int backend);
    Capture* (*openCaptureName)(const std::string& name, int backend);
    Writer* (*openWriter)(const std::string& path, int backend, int32_t fourcc, double fps,
                          cv::Size size, bool colour);
    bool (*encode)(const std::string& extension, const cv::Mat& image, std::vector<uchar>& bytes,
                   const std::vector<int>& params);
    void (*decode)(const std::vector<uchar>& bytes, int flags, cv::Mat& out);
    bool (*writeImage)(const std::string& path, const cv::Mat& image);
    cv::Mat (*readImage)(const std::string& path, int flags);
};

}  // namespace cvio

extern "C" const cvio::Table* camwatch_cvio_table();
