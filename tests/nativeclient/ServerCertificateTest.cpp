// The server connections trust a server's certificate no more than the page
// did, over real TLS: a chain of a test CA (made trusted through
// SSL_CERT_FILE, so the system's CA store is not touched) verifies with its
// host name among its subject alternative names (a subject CN alone is no
// name for it, as in the browser); a self-signed certificate passes only when it is the one
// accepted for the page; with certificate errors ignored nothing is checked.
// A refused certificate is logged and fails the connection the way every
// connection failure does.
#include "ConnectionFixture.h"
#include "NativeClient.h"
#include "NativeClientWebSocketEvent.h"
#include "PeerProcess.h"
#include "QorWebSocket.h"
#include "ServerCertificateCheck.h"
#include "ServerCertificateTrust.h"
#include "ServerConnectionFactory.h"
#include "ServerConnectionValues.h"
#include "TestCertificates.h"

#include <Poco/Net/AcceptCertificateHandler.h>
#include <Poco/Net/SecureStreamSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/SSLManager.h>

#include <cstdlib>
#include <memory>

using namespace qor;

namespace {

void deleteSocket(QorWebSocket* socket) { delete socket; }

// The certificates of every case, made once per test program.
struct Certificates {
    TempDir dir;
    CertificateFiles ca = testCaCertificate(dir.path(), "ca");
    CertificateFiles otherCa = testCaCertificate(dir.path(), "other-ca");
    CertificateFiles loopback = caSignedCertificate(dir.path(), "loopback", ca, "IP:127.0.0.1,DNS:localhost");
    CertificateFiles otherName = caSignedCertificate(dir.path(), "desk", ca, "DNS:desk.example");
    CertificateFiles wildcard = caSignedCertificate(dir.path(), "wildcard", ca, "DNS:*.example.com");
    CertificateFiles partialWildcard = caSignedCertificate(dir.path(), "partial-wildcard", ca, "DNS:f*.example.com");
    // No subject alternative name: "localhost" stands only in the subject CN.
    CertificateFiles nameOnlyInSubject = caSignedCertificate(dir.path(), "localhost", ca, "");
    CertificateFiles selfSigned = selfSignedCertificate(dir.path(), "self");
    CertificateFiles otherSelfSigned = selfSignedCertificate(dir.path(), "other-self");
};

const Certificates& certificates() {
    static const Certificates made;
    return made;
}

// SSL_CERT_FILE for the life of the object.
class CaFile {
public:
    explicit CaFile(const std::string& file) { setenv("SSL_CERT_FILE", file.c_str(), 1); }
    ~CaFile() { unsetenv("SSL_CERT_FILE"); }
};

enum class Trust { VERIFY, PIN_SHOWN, PIN_OTHER, IGNORE };

struct TrustCase {
    const char* name;
    const CertificateFiles Certificates::*shown;  // what the server presents
    const char* host;                              // the server's host as the connection names it
    Trust trust;
    const CertificateFiles Certificates::*trustedCa;  // nullptr: SSL_CERT_FILE names no file
    const char* refusal;                              // nullptr: the connection opens
};

const TrustCase trustCases[] = {
    {"chainForTheAddress", &Certificates::loopback, "127.0.0.1", Trust::VERIFY, &Certificates::ca, nullptr},
    {"chainForTheName", &Certificates::loopback, "localhost", Trust::VERIFY, &Certificates::ca, nullptr},
    {"chainForAnotherName", &Certificates::otherName, "127.0.0.1", Trust::VERIFY, &Certificates::ca,
     "IP address mismatch"},
    {"chainForAnotherDnsName", &Certificates::otherName, "localhost", Trust::VERIFY, &Certificates::ca,
     "hostname mismatch"},
    {"chainWithTheNameOnlyInTheSubject", &Certificates::nameOnlyInSubject, "localhost", Trust::VERIFY,
     &Certificates::ca, "hostname mismatch"},
    {"chainOfAnUntrustedCa", &Certificates::loopback, "127.0.0.1", Trust::VERIFY, &Certificates::otherCa,
     "unable to get local issuer certificate"},
    {"selfSignedNotAccepted", &Certificates::selfSigned, "127.0.0.1", Trust::VERIFY, &Certificates::ca,
     "self-signed certificate"},
    {"selfSignedAcceptedForThePage", &Certificates::selfSigned, "127.0.0.1", Trust::PIN_SHOWN, &Certificates::ca,
     nullptr},
    {"anotherCertificateThanTheAcceptedOne", &Certificates::otherSelfSigned, "127.0.0.1", Trust::PIN_OTHER,
     &Certificates::ca, "not the certificate accepted for its page, and self-signed certificate"},
    {"pinnedHostStillTakesAVerifiedChain", &Certificates::loopback, "127.0.0.1", Trust::PIN_OTHER, &Certificates::ca,
     nullptr},
    {"errorsIgnored", &Certificates::otherSelfSigned, "127.0.0.1", Trust::IGNORE, &Certificates::ca, nullptr},
    {"noCaFile", &Certificates::loopback, "127.0.0.1", Trust::VERIFY, nullptr, "unable to get local issuer certificate"},
    {"errorsIgnoredWithoutAnyCaFile", &Certificates::otherName, "127.0.0.1", Trust::IGNORE, nullptr, nullptr},
};

class ServerCertificate : public ConnectionTest {
protected:
    void SetUp() override {
        // The page fetches install a process-wide handler that accepts every
        // certificate error; the server connections must not consult it.
        Poco::Net::Context::Ptr context =
            new Poco::Net::Context(Poco::Net::Context::CLIENT_USE, "", "", "", Poco::Net::Context::VERIFY_NONE);
        Poco::Net::SSLManager::instance().initializeClient(
            nullptr, new Poco::Net::AcceptCertificateHandler(false), context);
    }

    void record(Trust trust, const std::string& host) {
        const Certificates& made = certificates();
        if (trust == Trust::PIN_SHOWN)
            ServerCertificateTrust::pinCertificate(host, certificateDer(server->certificate().certificate));
        if (trust == Trust::PIN_OTHER)
            ServerCertificateTrust::pinCertificate(host, certificateDer(made.selfSigned.certificate));
        if (trust == Trust::IGNORE) ServerCertificateTrust::setIgnoreErrors(host, true);
    }
};

} // namespace

TEST_F(ServerCertificate, ConnectionTrustsWhatThePageTrusted) {
    const Certificates& made = certificates();
    for (const TrustCase& c : trustCases) {
        SCOPED_TRACE(c.name);
        log.clear();
        useServer(made.*c.shown);
        record(c.trust, c.host);
        const std::string caPath = c.trustedCa != nullptr ? (made.*c.trustedCa).certificate : made.dir.file("missing.pem");
        CaFile caFile(caPath);
        ServerConnectionFactory factory(c.host);
        std::unique_ptr<QorWebSocket> socket(factory.connectCtrlSocket("client-1"));
        const std::string fingerprint = certificateSha256Of((made.*c.shown).certificate);
        if (c.refusal == nullptr) {
            EXPECT_NE(socket, nullptr);
            EXPECT_EQ(server->waitForSocket(20000).ticket, "ticket-1");
            EXPECT_FALSE(log.contains("Refused the certificate"));
            continue;
        }
        EXPECT_EQ(socket, nullptr);
        EXPECT_EQ(log.contains("Can't load the trusted CA certificates from '" + caPath + "'"), c.trustedCa == nullptr);
        const std::string refused =
            "Refused the certificate of server '" + std::string(c.host) + "': " + c.refusal + " (subject '";
        EXPECT_EQ(log.count(refused), 1) << refused;
        EXPECT_TRUE(log.contains("', SHA-256 " + fingerprint + ")")) << fingerprint;
        // The handshake failed: the ticket request never reached the server,
        // and the failure took the connection's usual way.
        EXPECT_TRUE(log.contains("Error retrieving authToken from server: \""));
        EXPECT_TRUE(server->requests().empty());
    }
}

// A certificate that the page did not accept, on the native port of a real
// openssl s_server: the client ends the handshake with an alert, before
// any request.
TEST_F(ServerCertificate, OpensslServerWithAnotherCertificateIsRefused) {
    const Certificates& made = certificates();
    ServerCertificateTrust::forgetAll();
    ServerCertificateTrust::pinCertificate("127.0.0.1", certificateDer(made.selfSigned.certificate));
    const CertificateFiles& shown = made.otherSelfSigned;
    PeerProcess peer("/bin/sh", {"-c", "exec /usr/bin/openssl s_server -accept 127.0.0.1:0 -www -cert " +
                                           shown.certificate + " -key " + shown.key + " 2>&1"});
    std::string address;
    ASSERT_TRUE(peer.waitForLine("ACCEPT ", address, 20000)) << peer.output();
    serverIsSecure.store(true);
    serverPort.store(std::stoi(address.substr(address.rfind(':') + 1)));

    ServerConnectionFactory factory("127.0.0.1");
    EXPECT_EQ(factory.connectCtrlSocket("client-1"), nullptr);
    EXPECT_TRUE(log.contains("Refused the certificate of server '127.0.0.1': not the certificate accepted for its "
                             "page, and self-signed certificate (subject '/CN=127.0.0.1', SHA-256 " +
                             certificateSha256Of(shown.certificate) + ")"));
    EXPECT_TRUE(log.contains("Error retrieving authToken from server: \""));
    EXPECT_TRUE(eventually([&] { return peer.output().find("alert") != std::string::npos; })) << peer.output();
}

// The refusal takes the connection's existing way: the proxy cannot connect,
// NativeClient closes the page's bridge socket and keeps no proxy.
TEST_F(ServerCertificate, RefusedCertificateClosesThePageSocket) {
    const Certificates& made = certificates();
    useServer(made.otherSelfSigned);
    ServerCertificateTrust::pinCertificate("127.0.0.1", certificateDer(made.selfSigned.certificate));
    NativeClient::instance()->start(-1);
    BridgePair bridge = openBridge();
    NativeClient::instance()->postEvent(new NativeClientWebSocketEvent(
        NativeClientWebSocketEvent::Socket(bridge.client, &deleteSocket), "client-1"));
    EXPECT_TRUE(readTextFrame(*bridge.page, 20000).empty());
    EXPECT_TRUE(log.waitFor("Can't connect incoming request, ignoring it", 20000));
    EXPECT_TRUE(log.contains("Refused the certificate of server '127.0.0.1': "));
    EXPECT_TRUE(log.contains("Session 0: Can't connect WebSocket to server"));
    EXPECT_TRUE(server->requests().empty());
    stopNativeClient();
}

// Video and tunnel sockets go through the same check as the control socket.
TEST_F(ServerCertificate, EverySocketOfTheConnectionIsChecked) {
    const Certificates& made = certificates();
    useServer(made.selfSigned);
    ServerCertificateTrust::pinCertificate("127.0.0.1", certificateDer(made.selfSigned.certificate));
    ServerConnectionFactory factory("127.0.0.1");
    std::unique_ptr<QorWebSocket> video(factory.openVideoSocket("c1", 0));
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(server->waitForSocket(20000).target, "https://127.0.0.1/ws/desktop/screen/c1/0");

    useServer(made.otherSelfSigned);
    ServerCertificateTrust::pinCertificate("127.0.0.1", certificateDer(made.selfSigned.certificate));
    EXPECT_EQ(factory.openVideoSocket("c1", 0), nullptr);
    EXPECT_EQ(factory.connectTunnelSocket("c1", 0, "VHTun-1", 17570, 17574), nullptr);
    EXPECT_EQ(log.count("Refused the certificate of server '127.0.0.1': "), 2);
}

// Wildcard names, as the browser takes them: "*" stands for the whole
// leftmost label and only for it; a partial wildcard ("f*") names no host.
// The names do not resolve here: the session's context, made for the host,
// meets the server at 127.0.0.1.
TEST_F(ServerCertificate, WildcardNameStandsForOneWholeLabel) {
    const Certificates& made = certificates();
    const struct {
        const CertificateFiles Certificates::*shown;
        const char* host;
        bool accepted;
    } cases[] = {
        {&Certificates::wildcard, "foo.example.com", true},
        {&Certificates::wildcard, "FOO.Example.COM", true},
        {&Certificates::wildcard, "a.foo.example.com", false},
        {&Certificates::wildcard, "example.com", false},
        {&Certificates::wildcard, "foo.example.org", false},
        {&Certificates::partialWildcard, "foo.example.com", false},
        {&Certificates::partialWildcard, "f.example.com", false},
        {&Certificates::partialWildcard, "bar.example.com", false},
    };
    CaFile caFile(made.ca.certificate);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.host) + " with " + (made.*c.shown).certificate);
        log.clear();
        useServer(made.*c.shown);
        Poco::Net::SecureStreamSocket socket(ServerCertificateCheck::newClientContext(c.host));
        socket.setPeerHostName(c.host);
        bool connected = false;
        try {
            socket.connect(Poco::Net::SocketAddress("127.0.0.1", static_cast<Poco::UInt16>(server->port())));
            socket.completeHandshake();
            connected = true;
        } catch (const Poco::Exception& e) {
            SCOPED_TRACE(e.displayText());
        }
        EXPECT_EQ(connected, c.accepted);
        EXPECT_EQ(log.count("Refused the certificate of server '" + std::string(c.host) + "': hostname mismatch"),
                  c.accepted ? 0 : 1);
    }
}

// The record: hosts compare without letter case and IPv6 brackets; the
// ignore flag and the pins are kept apart; a fingerprint is openssl's.
TEST(ServerCertificateTrustRecord, HostsPinsAndIgnoreFlag) {
    const Certificates& made = certificates();
    ServerCertificateTrust::forgetAll();
    EXPECT_FALSE(ServerCertificateTrust::forHost("desk.example").ignoreErrors);
    EXPECT_TRUE(ServerCertificateTrust::forHost("desk.example").pinnedSha256.empty());

    const std::string fingerprint =
        ServerCertificateTrust::pinCertificate("Desk.Example", certificateDer(made.selfSigned.certificate));
    EXPECT_EQ(fingerprint, certificateSha256Of(made.selfSigned.certificate));
    ServerCertificateTrust::setIgnoreErrors("DESK.example", true);
    ServerCertificateTrust::setIgnoreErrors("desk.example", false);
    const ServerCertificateTrust desk = ServerCertificateTrust::forHost("desk.example");
    EXPECT_FALSE(desk.ignoreErrors);
    EXPECT_EQ(desk.pinnedSha256, std::set<std::string>{fingerprint});
    EXPECT_TRUE(ServerCertificateTrust::forHost("other.example").pinnedSha256.empty());

    ServerCertificateTrust::setIgnoreErrors("[FE80::1]", true);
    EXPECT_TRUE(ServerCertificateTrust::forHost("fe80::1").ignoreErrors);
    EXPECT_EQ(ServerCertificateTrust::pinCertificate("fe80::1", ""), "");
    EXPECT_TRUE(ServerCertificateTrust::forHost("fe80::1").pinnedSha256.empty());
    ServerCertificateTrust::forgetAll();
    EXPECT_FALSE(ServerCertificateTrust::forHost("fe80::1").ignoreErrors);
}
