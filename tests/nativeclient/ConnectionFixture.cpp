#include "ConnectionFixture.h"

#include "CanvasRegistry.h"
#include "NativeClient.h"
#include "StreamDecoder.h"
#include "QorWebSocket.h"
#include "ServerCertificateTrust.h"
#include "JsBridge.h"
#include "ServerConnectionValues.h"

void ConnectionTest::useServer(bool secure) {
    pointAt(new FakeServer(secure, &tempDir));
    // The test server's self-signed certificate stands for one that the user
    // accepted in the page's certificate dialog.
    if (secure)
        qor::ServerCertificateTrust::pinCertificate("127.0.0.1", certificateDer(server->certificate().certificate));
}

void ConnectionTest::useServer(const CertificateFiles& certificate) { pointAt(new FakeServer(certificate)); }

void ConnectionTest::pointAt(FakeServer* fakeServer) {
    server.reset(fakeServer);
    qor::ServerCertificateTrust::forgetAll();
    qor::serverIsSecure.store(!server->certificate().certificate.empty());
    qor::serverPort.store(server->port());
    qor::setSessionCookieValue("cookie-1");
    qor::setServerPathPrefix("");
    qor::NativeClient::instance()->setCsrfToken("csrf-1");
    qor::setCurrentServerUrl("127.0.0.1");
}

BridgePair ConnectionTest::openBridge() {
    BridgePair pair;
    pair.page.reset(connectPocoWebSocket("127.0.0.1", acceptor.port()));
    Poco::Net::WebSocket* serverSide = acceptor.waitForSocket(20000);
    if (serverSide != nullptr) pair.client = new qor::QorWebSocket(serverSide, "bridge");
    return pair;
}

void ConnectionTest::TearDown() {
    qor::clearCanvasRegistry();
}

void ConnectionTest::offerCanvas() {
    static const bool registered = qor::StreamDecoder::registerDecoders();
    ASSERT_TRUE(registered);
    ASSERT_TRUE(qor::addCanvas(&canvas));
}
