// The TLS set-up: defaults and client keys taken from their server twins,
// the import of the system's certificates and certificate errors handled
// without any question on the console, against a real TLS server.
#include "SslSetup.h"

#include "ClientConfig.h"
#include "ClientSettings.h"
#include "DummyPocoApp.h"
#include "LogCapture.h"
#include "TestPaths.h"

#include <Poco/AutoPtr.h>
#include <Poco/File.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPSClientSession.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/StreamCopier.h>
#include <Poco/URI.h>
#include <Poco/Process.h>
#include <Poco/Thread.h>
#include <Poco/Util/XMLConfiguration.h>

#include <gtest/gtest.h>

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <memory>
#include <sstream>

namespace {

class SslSetup : public ::testing::Test {
protected:
    // The application object whose configuration POCO's SSL manager reads,
    // with the configuration file text.
    void configure(const std::string& xml) {
        app = new DummyPocoApp;
        if (!xml.empty()) {
            std::istringstream stream(xml);
            app->config().add(new Poco::Util::XMLConfiguration(stream), "file", 0, false);
        }
        createClientConfig(&app->config())->m_baseConfig = &app->config();
        // The application object gives every logger a console channel, so
        // the capture comes after it.
        capture = std::make_unique<LogCapture>("trace");
    }

    std::string value(const std::string& key) { return app->config().getString(key, "<unset>"); }

    Poco::AutoPtr<DummyPocoApp> app;
    std::unique_ptr<LogCapture> capture;
    LogCapture& log() { return *capture; }
};

// A GET over the TLS manager's default client context, whose certificate
// handler the set-up chose; true with the body when the handshake passed.
bool getWithDefaultContext(const std::string& url, std::string& body) {
    try {
        const Poco::URI uri(url);
        Poco::Net::HTTPSClientSession session(uri.getHost(), uri.getPort());
        session.setTimeout(Poco::Timespan(10, 0));
        Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_GET, "/", Poco::Net::HTTPMessage::HTTP_1_1);
        session.sendRequest(request);
        Poco::Net::HTTPResponse response;
        Poco::StreamCopier::copyToString(session.receiveResponse(response), body);
        return true;
    } catch (const Poco::Exception&) {
        return false;
    }
}

// Makes a self-signed certificate and key for 127.0.0.1 in the folder.
void makeCertificate(const TempDir& dir, const std::string& name) {
    const std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=" + name + " -keyout " +
                                dir.file("key.pem") + " -out " + dir.file("cert.pem") + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
}

// "openssl s_server -www" on a free loopback port with the certificate.
class TlsServer {
public:
    explicit TlsServer(const TempDir& dir) : port_(freeLoopbackPort()) {
        Poco::Process::Args args{"s_server", "-quiet", "-www", "-accept", "127.0.0.1:" + std::to_string(port_),
                                 "-cert", dir.file("cert.pem"), "-key", dir.file("key.pem")};
        process_ = std::make_unique<Poco::ProcessHandle>(Poco::Process::launch("openssl", args));
        for (int attempt = 0; attempt < 200; ++attempt) {
            try {
                Poco::Net::StreamSocket probe(Poco::Net::SocketAddress("127.0.0.1", static_cast<Poco::UInt16>(port_)));
                return;
            } catch (const Poco::Exception&) {
                Poco::Thread::sleep(50);
            }
        }
    }
    ~TlsServer() {
        Poco::Process::kill(*process_);
        process_->wait();
    }
    std::string url() const { return "https://127.0.0.1:" + std::to_string(port_) + "/"; }

private:
    int port_;
    std::unique_ptr<Poco::ProcessHandle> process_;
};

} // namespace

TEST_F(SslSetup, EmptyConfigurationGetsDefaultsThenServerTwins) {
    configure("");
    ASSERT_TRUE(setupSsl());
    std::vector<std::string> steps;
    for (const std::string& line : log().texts())
        if (line.rfind("  Use default ", 0) == 0 || line.rfind("  Copy ", 0) == 0) steps.push_back(line);
    std::vector<std::string> expected;
    for (qor::ConfigStringValue& setting : sslConfigTable) expected.push_back("  Use default " + setting.key());
    for (const char* key : {"verificationDepth", "loadDefaultCAFile", "cipherList", "privateKeyPassphraseHandler.name",
                            "privateKeyPassphraseHandler.options.password", "requireTLSv1_0", "requireTLSv1_1",
                            "requireTLSv1_2"})
        expected.push_back(std::string("  Copy openSSL.server.") + key + " to openSSL.client." + key);
    EXPECT_EQ(steps, expected);
    EXPECT_EQ(value("openSSL.client.verificationMode"), "relaxed");
    EXPECT_EQ(value("openSSL.client.requireTLSv1_2"), "true");
    EXPECT_EQ(value("openSSL.client.privateKeyFile"), "<unset>");
    EXPECT_TRUE(log().contains("The ROOT cert store was opened"));
    EXPECT_TRUE(log().contains("OpenSSL 3."));
}

TEST_F(SslSetup, ServerOnlyKeysConfigureTheClient) {
    configure("<config><openSSL><server><cipherList>HIGH</cipherList><privateKeyFile>/k.pem</privateKeyFile>"
              "<loadDefaultCAFile>false</loadDefaultCAFile></server></openSSL></config>");
    ASSERT_TRUE(setupSsl());
    EXPECT_EQ(value("openSSL.client.cipherList"), "HIGH");
    EXPECT_EQ(value("openSSL.client.privateKeyFile"), "/k.pem");
    EXPECT_EQ(value("openSSL.client.loadDefaultCAFile"), "false");
    EXPECT_TRUE(log().contains("  Copy openSSL.server.cipherList to openSSL.client.cipherList"));
    EXPECT_FALSE(log().contains("cert store was opened"));
}

TEST_F(SslSetup, ClientKeysKeepTheirOwnValues) {
    configure("<config><openSSL><server><cipherList>HIGH</cipherList><loadDefaultCAFile>false</loadDefaultCAFile>"
              "</server><client><cipherList>MEDIUM</cipherList><loadDefaultCAFile>true</loadDefaultCAFile></client>"
              "</openSSL></config>");
    ASSERT_TRUE(setupSsl());
    EXPECT_EQ(value("openSSL.client.cipherList"), "MEDIUM");
    EXPECT_FALSE(log().contains("  Copy openSSL.server.cipherList"));
    EXPECT_TRUE(log().contains("The ROOT cert store was opened"));
    EXPECT_TRUE(log().contains("The CA cert store was opened"));
}

TEST(SystemCertStore, ImportsBundleAndFolderAndReportsMissingStores) {
    TempDir dir;
    makeCertificate(dir, "QuarrydeskTestRoot");
    Poco::File(dir.file("certs")).createDirectories();
    Poco::File(dir.file("cert.pem")).copyTo(dir.file("certs/local.pem"));
    writeTextFile(dir.file("certs/readme.txt"), "not a certificate");
    writeTextFile(dir.file("certs/broken.pem"), "-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n");
    LogCapture log("trace");

    setSystemCertStoreLocations(dir.file("cert.pem"), dir.file("certs"));
    std::vector<std::string> der;
    ASSERT_TRUE(readSystemCertStore("ROOT", der));
    EXPECT_EQ(der.size(), 1u);
    ASSERT_TRUE(readSystemCertStore("CA", der));
    EXPECT_EQ(der.size(), 1u);

    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    importSystemCertStore(context, "ROOT");
    importSystemCertStore(context, "CA");
    EXPECT_EQ(sk_X509_OBJECT_num(X509_STORE_get0_objects(SSL_CTX_get_cert_store(context))), 1);
    EXPECT_TRUE(log.contains("OpenSSL: Loaded CA certificate: subject='/CN=QuarrydeskTestRoot'"));
    SSL_CTX_free(context);

    setSystemCertStoreLocations(dir.file("missing.crt"), dir.file("missing"));
    context = SSL_CTX_new(TLS_client_method());
    importSystemCertStore(context, "ROOT");
    importSystemCertStore(context, "CA");
    SSL_CTX_free(context);
    EXPECT_TRUE(log.contains("The ROOT cert store was not opened"));
    EXPECT_TRUE(log.contains("The CA cert store was not opened"));
}

// POCO's default handler would ask on the console; the client's handler
// decides from Client.IgnoreCertificateError and never prints a question.
TEST_F(SslSetup, CertificateErrorsAreDecidedWithoutAsking) {
    TempDir dir;
    makeCertificate(dir, "127.0.0.1");
    TlsServer server(dir);
    configure("<config><openSSL><client><invalidCertificateHandler><name>ConsoleCertificateHandler</name>"
              "</invalidCertificateHandler></client></openSSL></config>");
    ASSERT_TRUE(setupSsl());

    testing::internal::CaptureStdout();
    std::string body;
    EXPECT_FALSE(getWithDefaultContext(server.url(), body));
    clientIgnoreCertificateError.setFromString("true");
    EXPECT_TRUE(getWithDefaultContext(server.url(), body));
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(console.find("(y,n)"), std::string::npos) << console;
    EXPECT_TRUE(log().contains("Rejecting certificate: "));
    EXPECT_TRUE(log().contains("Ignoring certificate error: "));
    EXPECT_NE(body.find("s_server"), std::string::npos);
}
