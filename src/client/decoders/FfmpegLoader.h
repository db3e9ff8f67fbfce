// Run-time loading of FFmpeg (avutil, avcodec, swscale). The program does not
// link FFmpeg: the decoder and its frames reach it only through ffmpegApi,
// which ensureLibav fills. Without FFmpeg the OpenH264 decoder remains.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

#include <string>

// One typed pointer per entry point; null until found. Once ensureLibav has
// returned true they stay valid until the process ends.
struct FfmpegApi {
    // avutil
    decltype(&::av_dict_set) av_dict_set = nullptr;
    decltype(&::av_frame_alloc) av_frame_alloc = nullptr;
    decltype(&::av_malloc) av_malloc = nullptr;
    decltype(&::av_frame_free) av_frame_free = nullptr;
    decltype(&::av_frame_unref) av_frame_unref = nullptr;
    decltype(&::av_image_alloc) av_image_alloc = nullptr;
    decltype(&::av_freep) av_freep = nullptr;
    decltype(&::av_image_get_buffer_size) av_image_get_buffer_size = nullptr;
    decltype(&::av_log_set_callback) av_log_set_callback = nullptr;
    decltype(&::av_log_set_level) av_log_set_level = nullptr;
    decltype(&::av_image_fill_arrays) av_image_fill_arrays = nullptr;
    decltype(&::avutil_version) avutil_version = nullptr;
    // avcodec
    void (*av_init_packet)(AVPacket*) = nullptr;
    decltype(&::av_packet_alloc) av_packet_alloc = nullptr;
    decltype(&::av_packet_free) av_packet_free = nullptr;
    decltype(&::avcodec_send_packet) avcodec_send_packet = nullptr;
    decltype(&::avcodec_receive_frame) avcodec_receive_frame = nullptr;
    decltype(&::avcodec_alloc_context3) avcodec_alloc_context3 = nullptr;
    decltype(&::avcodec_open2) avcodec_open2 = nullptr;
    decltype(&::avcodec_close) avcodec_close = nullptr;
    decltype(&::avcodec_find_decoder) avcodec_find_decoder = nullptr;
    decltype(&::avcodec_find_decoder_by_name) avcodec_find_decoder_by_name = nullptr;
    decltype(&::avcodec_free_context) avcodec_free_context = nullptr;
    decltype(&::avcodec_flush_buffers) avcodec_flush_buffers = nullptr;
    decltype(&::avcodec_default_get_format) avcodec_default_get_format = nullptr;
    decltype(&::avcodec_version) avcodec_version = nullptr;
    // swscale
    decltype(&::sws_scale) sws_scale = nullptr;
    decltype(&::sws_getContext) sws_getContext = nullptr;
    decltype(&::sws_freeContext) sws_freeContext = nullptr;
    decltype(&::swscale_version) swscale_version = nullptr;
};

extern FfmpegApi ffmpegApi;

// True when all three libraries and their entry points are in ffmpegApi.
// Loads avutil, avcodec and swscale in that order, once; stops at the first
// library that fails. The directory (Client.LibAvDirectory) is tried first
// when not empty. Safe to call from any thread.
bool ensureLibav(const std::string& libAvDirectory = std::string());

bool loadAvutil(const std::string& libAvDirectory);
bool loadAvcodec(const std::string& libAvDirectory);
bool loadSwscale(const std::string& libAvDirectory);

// The path under which each library was last tried (after a success: found).
extern std::string avutilPath;
extern std::string avcodecPath;
extern std::string swscalePath;

// File names of one library on this platform: the name with the major
// version the program was built against, and the plain name.
struct FfmpegLibraryFiles {
    std::string versioned;
    std::string plain;
};
enum class FfmpegLibrary { avutil = 0, avcodec = 1, swscale = 2 };
FfmpegLibraryFiles& ffmpegLibraryFiles(FfmpegLibrary library);
// The directory followed by the file, as this platform writes paths.
std::string ffmpegLibraryPath(const std::string& directory, const std::string& file);
