// FFmpeg's shared-object names on Linux: the soname of the major version the
// program was built against, then the development symlink.
#include "FfmpegLoader.h"

#include <libavcodec/version.h>
#include <libavutil/version.h>
#include <libswscale/version.h>

#define QDK_STR2(x) #x
#define QDK_STR(x) QDK_STR2(x)

FfmpegLibraryFiles& ffmpegLibraryFiles(FfmpegLibrary library) {
    static FfmpegLibraryFiles files[] = {
        {"libavutil.so." QDK_STR(LIBAVUTIL_VERSION_MAJOR), "libavutil.so"},
        {"libavcodec.so." QDK_STR(LIBAVCODEC_VERSION_MAJOR), "libavcodec.so"},
        {"libswscale.so." QDK_STR(LIBSWSCALE_VERSION_MAJOR), "libswscale.so"},
    };
    return files[static_cast<int>(library)];
}

std::string ffmpegLibraryPath(const std::string& directory, const std::string& file) {
    return directory + "/" + file;
}
