// A library that presents itself as an NDI runtime but must be refused, built
// in two forms: without NDIlib_send_destroy (QUORVANE_STUB_WITHOUT_SEND_DESTROY),
// and complete but with an NDIlib_initialize that returns false, as the
// vendor's does on a system it does not support. Only NDIlib_initialize is
// ever called; the other entry points only have to be found by name.
#define QUORVANE_UNCALLED(name) extern "C" __attribute__((visibility("default"))) const char NDIlib_##name = 0;

extern "C" __attribute__((visibility("default"))) bool NDIlib_initialize(void) {
#ifdef QUORVANE_STUB_WITHOUT_SEND_DESTROY
    return true;
#else
    return false;
#endif
}

QUORVANE_UNCALLED(destroy)
QUORVANE_UNCALLED(version)
QUORVANE_UNCALLED(find_create_v2)
QUORVANE_UNCALLED(find_get_current_sources)
QUORVANE_UNCALLED(find_destroy)
QUORVANE_UNCALLED(recv_create_v3)
QUORVANE_UNCALLED(recv_destroy)
QUORVANE_UNCALLED(recv_capture_v2)
QUORVANE_UNCALLED(recv_capture_v3)
QUORVANE_UNCALLED(recv_free_video_v2)
QUORVANE_UNCALLED(recv_free_audio_v3)
QUORVANE_UNCALLED(framesync_create)
QUORVANE_UNCALLED(framesync_destroy)
QUORVANE_UNCALLED(framesync_capture_audio)
QUORVANE_UNCALLED(framesync_free_audio)
QUORVANE_UNCALLED(framesync_capture_video)
QUORVANE_UNCALLED(framesync_free_video)
QUORVANE_UNCALLED(send_create)
QUORVANE_UNCALLED(send_send_audio_v2)
QUORVANE_UNCALLED(send_send_video_v2)
#ifndef QUORVANE_STUB_WITHOUT_SEND_DESTROY
QUORVANE_UNCALLED(send_destroy)
#endif
