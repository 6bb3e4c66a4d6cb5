// The stream-copy ring's memory: an H.264 file's packets fed to a camera's clip recorder as
// a live camera would deliver them (one frame interval apart), its peak in bytes printed.
//   ring_bench FILE [PRECAPTURE seconds]
#include <cstdio>
#include <cstdlib>

#include "cameras/packets.h"
#include "clips/copy.h"

extern "C" {
#include <libavformat/avformat.h>
}

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: ring_bench FILE [PRECAPTURE]\n");
        return 2;
    }
    AVFormatContext* input = nullptr;
    if (avformat_open_input(&input, argv[1], nullptr, nullptr) < 0 ||
        avformat_find_stream_info(input, nullptr) < 0) {
        std::fprintf(stderr, "ring_bench: %s cannot be read\n", argv[1]);
        return 1;
    }
    const int index = av_find_best_stream(input, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (index < 0) return 1;
    const AVStream* st = input->streams[index];
    const double fps = av_q2d(st->avg_frame_rate);
    auto coded = std::make_shared<cameras::CodedStream>(st->codecpar, st->time_base.num,
                                                        st->time_base.den, fps);
    clips::Options options;
    options.preSeconds = argc > 2 ? std::atof(argv[2]) : 2.0;
    clips::CopyClips ring(0, options);
    AVPacket* packet = av_packet_alloc();
    int64_t frames = 0, bytes = 0;
    while (av_read_frame(input, packet) >= 0) {
        if (packet->stream_index == index) {
            const auto ms = static_cast<int64_t>(frames * 1000 / fps);
            ring.OnPacket(cameras::CodedPacket(coded, packet, ms));
            ++frames;
            bytes += packet->size;
        }
        av_packet_unref(packet);
    }
    std::printf("%dx%d, %.0f fps, %.1f Mbit/s, %lld frames: ring peak %.2f MB for %.1f s of "
                "pre-capture\n",
                st->codecpar->width, st->codecpar->height, fps,
                bytes * 8.0 / (frames / fps) / 1e6, static_cast<long long>(frames),
                ring.RingPeakBytes() / 1048576.0, options.preSeconds);
    av_packet_free(&packet);
    avformat_close_input(&input);
    ring.Stop();
    return 0;
}
