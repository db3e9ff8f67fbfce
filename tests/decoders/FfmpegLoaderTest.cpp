#include "FfmpegLoader.h"
#include "LogCapture.h"
#include "TestPaths.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

namespace {

// The file a loaded library came from.
std::string loadedFile(const char* soname, const char* symbol) {
    void* handle = dlopen(soname, RTLD_LAZY);
    if (handle == nullptr) return "";
    Dl_info info;
    dladdr(dlsym(handle, symbol), &info);
    return info.dli_fname;
}

} // namespace

TEST(FfmpegLoader, LoadsTheBuildsMajorVersionsInOrder) {
    LogCapture log("debug");
    ASSERT_TRUE(ensureLibav());
    EXPECT_EQ(log.texts(), (std::vector<std::string>{"Loaded '" + ffmpegLibraryFiles(FfmpegLibrary::avutil).versioned + "'",
                                                      "Loaded '" + ffmpegLibraryFiles(FfmpegLibrary::avcodec).versioned + "'",
                                                      "Loaded '" + ffmpegLibraryFiles(FfmpegLibrary::swscale).versioned + "'"}));
    EXPECT_EQ(avutilPath, "libavutil.so." + std::to_string(LIBAVUTIL_VERSION_MAJOR));
    EXPECT_EQ(ffmpegApi.avcodec_version() >> 16, unsigned(LIBAVCODEC_VERSION_MAJOR));
    log.clear();
    EXPECT_TRUE(ensureLibav());
    EXPECT_TRUE(log.texts().empty());
}

TEST(FfmpegLoader, ConfiguredFolderFirstThenTheDefaultSearch) {
    TempDir dir;
    const std::string avutil = loadedFile(ffmpegLibraryFiles(FfmpegLibrary::avutil).versioned.c_str(), "av_frame_alloc");
    const std::string swscale = loadedFile(ffmpegLibraryFiles(FfmpegLibrary::swscale).versioned.c_str(), "sws_scale");
    ASSERT_FALSE(avutil.empty());
    ASSERT_EQ(symlink(avutil.c_str(), dir.file(ffmpegLibraryFiles(FfmpegLibrary::avutil).versioned).c_str()), 0);
    ASSERT_EQ(symlink(swscale.c_str(), dir.file(ffmpegLibraryFiles(FfmpegLibrary::swscale).versioned).c_str()), 0);
    LogCapture log("debug");
    ASSERT_TRUE(ensureLibav(dir.path()));
    const std::string avcodecInFolder = dir.file(ffmpegLibraryFiles(FfmpegLibrary::avcodec).versioned);
    EXPECT_TRUE(log.contains("Can't load '" + avcodecInFolder + "', trying default"));
    EXPECT_EQ(avutilPath, dir.file(ffmpegLibraryFiles(FfmpegLibrary::avutil).versioned));
    EXPECT_EQ(avcodecPath, ffmpegLibraryFiles(FfmpegLibrary::avcodec).versioned);
    EXPECT_EQ(swscalePath, dir.file(ffmpegLibraryFiles(FfmpegLibrary::swscale).versioned));
}

TEST(FfmpegLoader, PlainNameWhenTheVersionedOneIsMissing) {
    FfmpegLibraryFiles& files = ffmpegLibraryFiles(FfmpegLibrary::avutil);
    const std::string plain = files.versioned;
    files = {"libavutil.so.999", plain};
    LogCapture log("debug");
    ASSERT_TRUE(ensureLibav());
    EXPECT_TRUE(log.contains("Can't find './libavutil.so.999'"));
    EXPECT_EQ(avutilPath, plain);
}

TEST(FfmpegLoader, NoAvutilNoFfmpeg) {
    ffmpegLibraryFiles(FfmpegLibrary::avutil) = {"libqdk-missing.so.1", "libqdk-missing.so"};
    LogCapture log;
    EXPECT_FALSE(ensureLibav());
    const std::vector<std::string> expected = {"Trying to load 'avutil'", "Can't find './libqdk-missing.so.1'",
                                               "Can't find './libqdk-missing.so'", "Failed to load 'avutil' library"};
    EXPECT_EQ(log.texts(), expected);
    EXPECT_TRUE(avcodecPath.empty());
    EXPECT_EQ(log.lines().back().priority, 4);
}

TEST(FfmpegLoader, MissingEntryPointMeansNoFfmpeg) {
    ffmpegLibraryFiles(FfmpegLibrary::avcodec) = {"libz.so.1", "libz.so"};
    LogCapture log;
    EXPECT_FALSE(ensureLibav());
    EXPECT_TRUE(log.contains("Can't find symbol 'av_init_packet' in libz.so.1"));
    EXPECT_TRUE(log.contains("Can't load symbols from 'libz.so.1', no libav support"));
    EXPECT_TRUE(swscalePath.empty());
}
