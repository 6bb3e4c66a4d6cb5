/* A live RTSP camera for the stream tests: rtsp_server PORT serves a moving test picture as
 * motion JPEG at rtsp://127.0.0.1:PORT/cam until it is killed. */
#include <gst/gst.h>
#include <gst/rtsp-server/rtsp-server.h>
#include <stdio.h>

int main(int argc, char** argv) {
    gst_init(&argc, &argv);
    if (argc != 2) {
        fprintf(stderr, "usage: rtsp_server PORT\n");
        return 2;
    }
    GstRTSPServer* server = gst_rtsp_server_new();
    g_object_set(server, "address", "127.0.0.1", "service", argv[1], NULL);
    GstRTSPMediaFactory* factory = gst_rtsp_media_factory_new();
    gst_rtsp_media_factory_set_launch(factory,
                                      "( videotestsrc is-live=true pattern=ball ! "
                                      "video/x-raw,format=I420,width=320,height=240,framerate=10/1"
                                      " ! jpegenc ! rtpjpegpay name=pay0 pt=26 )");
    gst_rtsp_media_factory_set_shared(factory, TRUE);
    GstRTSPMountPoints* mounts = gst_rtsp_server_get_mount_points(server);
    gst_rtsp_mount_points_add_factory(mounts, "/cam", factory);
    g_object_unref(mounts);
    if (gst_rtsp_server_attach(server, NULL) == 0) {
        fprintf(stderr, "rtsp_server: cannot listen on port %s\n", argv[1]);
        return 1;
    }
    g_main_loop_run(g_main_loop_new(NULL, FALSE));
    return 0;
}
