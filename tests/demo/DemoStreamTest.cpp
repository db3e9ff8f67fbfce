// Stream files: the picture size and encoding that the server reads from the
// stream and announces, streams it refuses, and key units that lack their
// parameter sets in the file.
#include "DemoFixture.h"

#include <Poco/Net/NetException.h>

namespace {

struct EncodingCase {
    const char* profile;
    const char* pixelFormat;
    const char* encodingSpec;
};
void PrintTo(const EncodingCase& c, std::ostream* os) { *os << c.profile; }

class DemoStreamTest : public DemoFixture, public ::testing::WithParamInterface<EncodingCase> {
protected:
    std::string encode(const std::string& name, const std::string& profile, const std::string& pixelFormat,
                       const std::string& x264Params) {
        const std::string path = dir_.file(name);
        const std::vector<std::string> args{
            "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=200x120:rate=25:duration=0.8",
            "-c:v", "libx264", "-profile:v", profile, "-pix_fmt", pixelFormat, "-x264-params", x264Params,
            "-f", "h264", path};
        EXPECT_EQ(0, runProgram("/usr/bin/ffmpeg", args));
        return path;
    }
    // Starts a server on the stream, connects a desk and returns its SVR_VS_PARAM.
    Poco::JSON::Object::Ptr announce(const std::string& streamFile) {
        server_ = std::make_unique<DemoServerProcess>(std::vector<std::string>{
            "--stream=" + streamFile, "--user=alice", "--password=s3cret&x", "--fps=100"});
        peer_ = std::make_unique<DemoPeer>(*server_, "");
        clientId_ = openDesk(*peer_, pageSocket_);
        control_ = peer_->connectDesktopSocket(controlPath(clientId_));
        return receiveRelay(*pageSocket_, 102);
    }
    std::unique_ptr<DemoServerProcess> server_;
    std::unique_ptr<DemoPeer> peer_;
    std::unique_ptr<Poco::Net::WebSocket> pageSocket_;
    std::unique_ptr<Poco::Net::WebSocket> control_;
    std::string clientId_;
};

TEST_P(DemoStreamTest, AnnouncesTheStreamsSizeAndEncodingAndSendsItDecodable) {
    auto vs = announce(encode("stream.h264", GetParam().profile, GetParam().pixelFormat, "aud=1"));
    ASSERT_TRUE(vs);
    EXPECT_EQ(200, vs->getValue<int>("SrvVSWth"));
    EXPECT_EQ(120, vs->getValue<int>("SrvVSHgt"));
    EXPECT_EQ(GetParam().encodingSpec, vs->getValue<std::string>("VConf"));

    auto video = peer_->connectDesktopSocket(videoPath(clientId_, 0));
    sendJson(*control_, "{\"session\":0,\"type\":14}");
    std::vector<std::string> units;
    std::string unit;
    while (units.size() < 20 && receiveBinary(*video, unit)) units.push_back(unit);
    ASSERT_EQ(20u, units.size());
    EXPECT_TRUE(isKeyAccessUnit(units.front()));
    EXPECT_EQ(20, decodedPictureCount(dir_.path(), units));
}

INSTANTIATE_TEST_SUITE_P(Profiles, DemoStreamTest,
                         ::testing::Values(EncodingCase{"baseline", "yuv420p", "0,0,8"},
                                           EncodingCase{"main", "yuv420p", "2,0,8"},
                                           EncodingCase{"high", "yuv420p", "3,0,8"},
                                           EncodingCase{"high10", "yuv420p10le", "4,0,10"},
                                           EncodingCase{"high444", "yuv444p", "6,6,8"}),
                         [](const ::testing::TestParamInfo<EncodingCase>& info) { return info.param.profile; });

class DemoStreamFileTest : public DemoStreamTest {};

TEST_F(DemoStreamFileTest, RefusesStreamsItCannotCut) {
    struct RefusalCase {
        const char* what;
        std::string file;
    };
    writeTextFile(dir_.file("empty.h264"), "");
    const std::vector<RefusalCase> cases{
        {"no access unit delimiters", encode("noaud.h264", "baseline", "yuv420p", "aud=0")},
        {"empty file", dir_.file("empty.h264")},
        {"missing file", dir_.file("missing.h264")},
    };
    for (const auto& c : cases) {
        std::string output;
        const int code = runProgram(DEMO_SERVER_PROGRAM, {"--port=0", "--stream=" + c.file}, &output);
        EXPECT_EQ(65, code) << c.what;
        EXPECT_EQ(std::string::npos, output.find("listening")) << c.what;
    }
}

TEST_F(DemoStreamFileTest, KeyUnitsGetTheirParameterSetsEvenWhenTheFileLacksThem) {
    // Two IDR pictures (0 and 10); the file keeps SPS and PPS only at its start.
    const std::string original =
        readTextFile(encode("two-idr.h264", "baseline", "yuv420p", "aud=1:keyint=10:min-keyint=10:scenecut=0"));
    // Start of the start code (3 or 4 bytes) at or after from.
    auto startCodeAt = [&](std::size_t from) {
        for (std::size_t k = from; k + 3 < original.size(); ++k) {
            if (original[k] == 0 && original[k + 1] == 0 && original[k + 2] == 1)
                return (k > 0 && original[k - 1] == 0) ? k - 1 : k;
        }
        return original.size();
    };
    std::string stripped;
    int accessUnit = -1;
    for (std::size_t i = startCodeAt(0); i < original.size();) {
        const std::size_t header = original[i + 2] == 1 ? i + 3 : i + 4;
        const int type = static_cast<unsigned char>(original[header]) & 0x1f;
        const std::size_t next = startCodeAt(header);
        if (type == 9) ++accessUnit;
        const bool laterParameterSet = (type == 7 || type == 8) && accessUnit > 0;
        if (!laterParameterSet) stripped += original.substr(i, next - i);
        i = next;
    }
    ASSERT_LT(stripped.size(), original.size()) << "the later IDR carried parameter sets to strip";
    writeTextFile(dir_.file("stripped.h264"), stripped);

    ASSERT_TRUE(announce(dir_.file("stripped.h264")));
    auto video = peer_->connectDesktopSocket(videoPath(clientId_, 0));
    sendJson(*control_, "{\"session\":0,\"type\":14}");
    std::vector<std::string> units;
    std::string unit;
    while (units.size() < 11 && receiveBinary(*video, unit)) units.push_back(unit);
    ASSERT_EQ(11u, units.size());
    EXPECT_TRUE(isKeyAccessUnit(units[10]));
    // Decodable from the second IDR on, with a fresh decoder.
    EXPECT_EQ(1, decodedPictureCount(dir_.path(), {units[10]}));
}

}  // namespace
