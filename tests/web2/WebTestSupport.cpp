#include "WebTestSupport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QWebEnginePage>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

namespace {

class QtEnvironment : public testing::Environment {
public:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "web2_tests";
        static char* argv[] = {name, nullptr};
        setenv("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu", 0);
        QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts, true);
        if (QApplication::instance() == nullptr) application_ = new QApplication(argc, argv);
    }
    // Ends the application after the last test, before the exit handlers
    // run: left to them, the browser engine's threads still run while the
    // libraries' statics are destroyed, and the process can crash at exit.
    void TearDown() override {
        delete application_;
        application_ = nullptr;
    }

private:
    QApplication* application_ = nullptr;
};

const testing::Environment* const qtEnvironment = testing::AddGlobalTestEnvironment(new QtEnvironment);

} // namespace



QVariant runScript(QWebEnginePage* page, const QString& script, int timeoutMs) {
    auto done = std::make_shared<bool>(false);
    auto value = std::make_shared<QVariant>();
    page->runJavaScript(script, [done, value](const QVariant& result) {
        *value = result;
        *done = true;
    });
    if (!waitUntil([done] { return *done; }, timeoutMs)) return QVariant();
    return *value;
}

#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/ServerSocket.h>

namespace {

class PlainHandler : public Poco::Net::HTTPRequestHandler {
public:
    explicit PlainHandler(const std::string& body) : body_(body) {}
    void handleRequest(Poco::Net::HTTPServerRequest&, Poco::Net::HTTPServerResponse& response) override {
        response.setContentType("text/html; charset=utf-8");
        response.sendBuffer(body_.data(), body_.size());
    }

private:
    const std::string& body_;
};

class PlainFactory : public Poco::Net::HTTPRequestHandlerFactory {
public:
    explicit PlainFactory(std::string body) : body_(std::move(body)) {}
    Poco::Net::HTTPRequestHandler* createRequestHandler(const Poco::Net::HTTPServerRequest&) override {
        return new PlainHandler(body_);
    }

private:
    const std::string body_;
};

} // namespace

PlainPageServer::PlainPageServer(std::string body) {
    Poco::Net::ServerSocket socket(Poco::Net::SocketAddress("127.0.0.1", 0));
    port_ = socket.address().port();
    server_ = std::make_unique<Poco::Net::HTTPServer>(new PlainFactory(std::move(body)), socket,
                                                      new Poco::Net::HTTPServerParams);
    server_->start();
}

PlainPageServer::~PlainPageServer() { server_->stopAll(true); }

#include "ClientConfig.h"

#include <Poco/AutoPtr.h>
#include <Poco/Util/MapConfiguration.h>

void useEmptyConfiguration() {
    static Poco::AutoPtr<Poco::Util::MapConfiguration> configuration(new Poco::Util::MapConfiguration);
    createClientConfig(configuration.get())->m_baseConfig = configuration.get();
}
