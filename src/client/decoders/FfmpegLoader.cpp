#include "FfmpegLoader.h"

#include "Logging.h"
#include "OwnerLock.h"

#include <Poco/Exception.h>
#include <Poco/SharedLibrary.h>

#include <atomic>
#include <memory>
#include <vector>

FfmpegApi ffmpegApi;
std::string avutilPath;
std::string avcodecPath;
std::string swscalePath;

namespace {

OwnerLock ffmpegLoaderLock;
std::atomic<bool> ffmpegLoaded{false};

struct Symbol {
    const char* name;
    void** slot;
};

template <typename F>
Symbol symbol(const char* name, F*& slot) {
    return {name, reinterpret_cast<void**>(&slot)};
}

struct LibraryInfo {
    FfmpegLibrary id;
    const char* shortName;
    std::string* path;
    int expectedMajor;
    std::vector<Symbol> symbols;
    unsigned (*version)() = nullptr;
    bool resolved = false;
};

LibraryInfo& library(FfmpegLibrary id) {
    FfmpegApi& a = ffmpegApi;
    static LibraryInfo libraries[] = {
        {FfmpegLibrary::avutil,
         "avutil",
         &avutilPath,
         LIBAVUTIL_VERSION_MAJOR,
         {symbol("av_dict_set", a.av_dict_set), symbol("av_frame_alloc", a.av_frame_alloc),
          symbol("av_malloc", a.av_malloc), symbol("av_frame_free", a.av_frame_free),
          symbol("av_frame_unref", a.av_frame_unref), symbol("av_image_alloc", a.av_image_alloc),
          symbol("av_freep", a.av_freep), symbol("av_image_get_buffer_size", a.av_image_get_buffer_size),
          symbol("av_log_set_callback", a.av_log_set_callback), symbol("av_log_set_level", a.av_log_set_level),
          symbol("av_image_fill_arrays", a.av_image_fill_arrays), symbol("avutil_version", a.avutil_version)}},
        {FfmpegLibrary::avcodec,
         "avcodec",
         &avcodecPath,
         LIBAVCODEC_VERSION_MAJOR,
         {symbol("av_init_packet", a.av_init_packet), symbol("av_packet_alloc", a.av_packet_alloc),
          symbol("av_packet_free", a.av_packet_free), symbol("avcodec_send_packet", a.avcodec_send_packet),
          symbol("avcodec_receive_frame", a.avcodec_receive_frame),
          symbol("avcodec_alloc_context3", a.avcodec_alloc_context3), symbol("avcodec_open2", a.avcodec_open2),
          symbol("avcodec_close", a.avcodec_close), symbol("avcodec_find_decoder", a.avcodec_find_decoder),
          symbol("avcodec_find_decoder_by_name", a.avcodec_find_decoder_by_name),
          symbol("avcodec_free_context", a.avcodec_free_context),
          symbol("avcodec_flush_buffers", a.avcodec_flush_buffers),
          symbol("avcodec_default_get_format", a.avcodec_default_get_format),
          symbol("avcodec_version", a.avcodec_version)}},
        {FfmpegLibrary::swscale,
         "swscale",
         &swscalePath,
         LIBSWSCALE_VERSION_MAJOR,
         {symbol("sws_scale", a.sws_scale), symbol("sws_getContext", a.sws_getContext),
          symbol("sws_freeContext", a.sws_freeContext), symbol("swscale_version", a.swscale_version)}},
    };
    return libraries[static_cast<int>(id)];
}

unsigned loadedVersion(FfmpegLibrary id) {
    switch (id) {
    case FfmpegLibrary::avutil: return ffmpegApi.avutil_version();
    case FfmpegLibrary::avcodec: return ffmpegApi.avcodec_version();
    case FfmpegLibrary::swscale: return ffmpegApi.swscale_version();
    }
    return 0;
}

// Libraries stay loaded until the process ends.
bool tryLoad(const std::string& path) {
    static std::vector<std::unique_ptr<Poco::SharedLibrary>> loaded;
    try {
        loaded.push_back(std::make_unique<Poco::SharedLibrary>(path));
        return true;
    } catch (const Poco::Exception&) {
        return false;
    }
}

// The file through the system's library search, then in the current
// directory; path is left at the last attempt.
bool trySearchedThenHere(std::string& path, const std::string& file) {
    path = file;
    if (tryLoad(path)) return true;
    path = "./" + file;
    return tryLoad(path);
}

bool loadSymbols(LibraryInfo& lib) {
    if (lib.resolved) return true;
    const std::string& path = *lib.path;
    try {
        Poco::SharedLibrary shared(path);
        for (const Symbol& s : lib.symbols) {
            if (!shared.hasSymbol(s.name)) {
                logError(std::string("Can't find symbol '") + s.name + "' in " + path);
                return false;
            }
            *s.slot = shared.getSymbol(s.name);
        }
    } catch (const Poco::LibraryLoadException& e) {
        logError(e.displayText());
        return false;
    } catch (...) {
        logDebug("Can't load '" + path + "'");
        return false;
    }
    // The structures are used by their layout: only the major version the
    // program was built against will do.
    const int major = static_cast<int>(loadedVersion(lib.id) >> 16);
    if (major != lib.expectedMajor) {
        logError("Version " + std::to_string(major) + " of '" + path + "' found, version " +
                 std::to_string(lib.expectedMajor) + " needed");
        return false;
    }
    logDebug("Loaded '" + path + "'");
    if (lib.id == FfmpegLibrary::avutil) ffmpegApi.av_log_set_level(AV_LOG_QUIET);
    lib.resolved = true;
    return true;
}

bool loadLibrary(FfmpegLibrary id, const std::string& directory) {
    LibraryInfo& lib = library(id);
    if (lib.resolved) return true;
    std::string& path = *lib.path;
    const FfmpegLibraryFiles& files = ffmpegLibraryFiles(id);
    const bool avcodec = id == FfmpegLibrary::avcodec;
    const std::string failText = avcodec ? "Can't load '" : "Can't find '";
    logTrace(std::string("Trying to load '") + lib.shortName + "'");

    bool found = false;
    if (!directory.empty()) {
        path = ffmpegLibraryPath(directory, files.versioned);
        found = tryLoad(path);
        if (!found) logDebug(failText + path + "', trying default");
    }
    if (!found) {
        found = trySearchedThenHere(path, files.versioned);
        if (!found) logDebug(failText + path + "'");
    }
    if (!found) {
        found = trySearchedThenHere(path, files.plain);
        if (!found && !avcodec) logDebug(failText + path + "'");
    }
    if (!found) {
        if (id == FfmpegLibrary::avutil) {
            logWarning("Failed to load 'avutil' library");
        } else {
            logWarning("Can't load '" + path + "', no libav support");
        }
        return false;
    }
    if (!loadSymbols(lib)) {
        logWarning("Can't load symbols from '" + path + "', no libav support");
        return false;
    }
    return true;
}

} // namespace

bool loadAvutil(const std::string& libAvDirectory) { return loadLibrary(FfmpegLibrary::avutil, libAvDirectory); }
bool loadAvcodec(const std::string& libAvDirectory) { return loadLibrary(FfmpegLibrary::avcodec, libAvDirectory); }
bool loadSwscale(const std::string& libAvDirectory) { return loadLibrary(FfmpegLibrary::swscale, libAvDirectory); }

bool ensureLibav(const std::string& libAvDirectory) {
    if (ffmpegLoaded.load(std::memory_order_acquire)) return true;
    ScopedOwnerLock guard(ffmpegLoaderLock);
    if (ffmpegLoaded.load(std::memory_order_relaxed)) return true;
    if (!loadAvutil(libAvDirectory) || !loadAvcodec(libAvDirectory) || !loadSwscale(libAvDirectory)) return false;
    ffmpegLoaded.store(true, std::memory_order_release);
    return true;
}
