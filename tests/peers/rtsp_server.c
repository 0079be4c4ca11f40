/* A live test pattern served over RTSP at rtsp://127.0.0.1:PORT/test, the
 * server end of the RTSP tests.
 *
 *   rtsp_server --port N --codec h264|h265 [--audio]
 *
 * With --audio an A-law audio stream comes first in the session description,
 * so clients meet it before the video. Prints "ready" on standard output once
 * the port is listening; SIGTERM or SIGINT ends it. */

#include <glib-unix.h>
#include <gst/gst.h>
#include <gst/rtsp-server/rtsp-server.h>
#include <stdio.h>
#include <string.h>

static gboolean quit_loop(gpointer loop) {
    g_main_loop_quit(loop);
    return G_SOURCE_REMOVE;
}

static const char* video_encoder(const char* codec) {
    if (strcmp(codec, "h264") == 0) {
        return "x264enc tune=zerolatency speed-preset=ultrafast key-int-max=15 "
               "! rtph264pay config-interval=-1 pt=96";
    }
    if (strcmp(codec, "h265") == 0) {
        return "x265enc tune=zerolatency speed-preset=ultrafast key-int-max=15 "
               "! rtph265pay config-interval=-1 pt=96";
    }
    return NULL;
}

int main(int argc, char** argv) {
    gint port = 0;
    gchar* codec = NULL;
    gboolean audio = FALSE;
    const GOptionEntry entries[] = {
        {"port", 0, 0, G_OPTION_ARG_INT, &port, "TCP port to listen on (127.0.0.1)", "N"},
        {"codec", 0, 0, G_OPTION_ARG_STRING, &codec, "Video codec: h264 or h265", "CODEC"},
        {"audio", 0, 0, G_OPTION_ARG_NONE, &audio, "Offer an audio stream before the video", NULL},
        {NULL, 0, 0, 0, NULL, NULL, NULL},
    };
    GError* error = NULL;
    GOptionContext* context = g_option_context_new("- RTSP test pattern server");
    g_option_context_add_main_entries(context, entries, NULL);
    g_option_context_add_group(context, gst_init_get_option_group());
    if (!g_option_context_parse(context, &argc, &argv, &error)) {
        fprintf(stderr, "rtsp_server: %s\n", error->message);
        return 2;
    }
    g_option_context_free(context);

    const char* encoder = video_encoder(codec ? codec : "h264");
    if (port <= 0 || port > 65535 || encoder == NULL) {
        fprintf(stderr, "usage: rtsp_server --port N --codec h264|h265 [--audio]\n");
        return 2;
    }

    /* Payloaders are numbered in the order the session description lists them. */
    const char* audio_branch = "audiotestsrc is-live=true wave=ticks ! audioconvert ! audioresample "
                               "! alawenc ! rtppcmapay name=pay0 pt=8 ";
    gchar* launch = g_strdup_printf(
        "( %svideotestsrc is-live=true ! video/x-raw,width=320,height=240,framerate=15/1 "
        "! videoconvert ! %s name=pay%d )",
        audio ? audio_branch : "", encoder, audio ? 1 : 0);

    GstRTSPServer* server = gst_rtsp_server_new();
    gst_rtsp_server_set_address(server, "127.0.0.1");
    gchar* service = g_strdup_printf("%d", port);
    gst_rtsp_server_set_service(server, service);

    GstRTSPMediaFactory* factory = gst_rtsp_media_factory_new();
    gst_rtsp_media_factory_set_launch(factory, launch);
    gst_rtsp_media_factory_set_shared(factory, TRUE);
    GstRTSPMountPoints* mounts = gst_rtsp_server_get_mount_points(server);
    gst_rtsp_mount_points_add_factory(mounts, "/test", factory);
    g_object_unref(mounts);

    if (gst_rtsp_server_attach(server, NULL) == 0) {
        fprintf(stderr, "rtsp_server: cannot listen on 127.0.0.1:%d\n", port);
        return 1;
    }
    GMainLoop* loop = g_main_loop_new(NULL, FALSE);
    g_unix_signal_add(SIGTERM, quit_loop, loop);
    g_unix_signal_add(SIGINT, quit_loop, loop);
    printf("ready\n");
    fflush(stdout);
    g_main_loop_run(loop);

    g_main_loop_unref(loop);
    g_object_unref(server);
    g_free(service);
    g_free(launch);
    g_free(codec);
    return 0;
}
