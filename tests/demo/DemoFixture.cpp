#include "DemoFixture.h"

const TestStream& DemoFixture::stream() {
    if (!stream_) stream_ = std::make_unique<TestStream>(makeTestStream(dir_.path(), "test.h264", 192, 108, 60, 1000));
    return *stream_;
}

std::unique_ptr<DemoServerProcess> DemoFixture::startServer(const ServerSetup& setup) {
    std::vector<std::string> args{"--stream=" + stream().path, "--screens=" + std::to_string(setup.screens),
                                  "--user=alice", "--password=s3cret&x", "--verbose"};
    if (!setup.prefix.empty()) args.push_back("--prefix=" + setup.prefix);
    if (setup.https) {
        serverCertificate_ = selfSignedCertificate(dir_.path(), "cert");
        args.push_back("--cert=" + serverCertificate_.certificate);
        args.push_back("--key=" + serverCertificate_.key);
    }
    args.insert(args.end(), setup.extra.begin(), setup.extra.end());
    return std::make_unique<DemoServerProcess>(args);
}

std::string DemoFixture::openDesk(DemoPeer& peer, std::unique_ptr<Poco::Net::WebSocket>& pageSocket) {
    EXPECT_TRUE(peer.signIn("alice", "s3cret&x"));
    pageSocket = peer.openPageSocket();
    auto hello = receiveJson(*pageSocket);
    if (!hello || hello->optValue<std::string>("kind", "") != "hello") {
        ADD_FAILURE() << "no hello on the page socket";
        return std::string();
    }
    return hello->getValue<std::string>("clientId");
}

std::string controlPath(const std::string& clientId) { return "/ws/desktop/native-ctrl/" + clientId; }

std::string videoPath(const std::string& clientId, int display) {
    return "/ws/desktop/screen/" + clientId + "/" + std::to_string(display);
}
