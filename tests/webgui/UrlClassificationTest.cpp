// The web side's address tests: broker host, sign-in and sign-out pages,
// the navigation tests for broker and server pages, page names and the log
// form of addresses.
#include "BrokerSession.h"

#include "LogCapture.h"

#include <QUrl>

#include <gtest/gtest.h>

namespace {

class UrlClassification : public ::testing::Test {
protected:
    void SetUp() override { BrokerSession::instance() = BrokerSession(); }
    LogCapture log{"trace"};
};

struct BrokerPageCase {
    const char* url;
    bool hostPage;
    bool signIn;
    bool signOut;
};

const BrokerPageCase brokerPageCases[] = {
    {"http://broker.example:8080/any/page", true, false, false},
    {"https://broker.example/signin.html", false, false, false},
    {"https://broker.example/a/signout.html", false, false, false},
    {"https://broker.example/desk/quarrydesk.html", false, false, false},
    {"https://broker.example/", true, true, false},
    {"https://broker.example", true, true, false},
    {"https://broker.example/index.pl", true, true, false},
    {"https://broker.example/?r=1", true, false, false},
    {"https://broker.example/index.pl?r=x", true, false, false},
    {"https://broker.example/sub/index.pl", true, false, false},
    {"https://broker.example/user/logout", true, false, true},
    {"https://broker.example/Logout", true, false, false},
    {"https://other.example/", false, false, false},
    {"", false, false, false},
};

} // namespace

TEST_F(UrlClassification, BrokerPagesByHostAndPath) {
    for (const BrokerPageCase& c : brokerPageCases) {
        const QUrl url(QString::fromLatin1(c.url));
        EXPECT_FALSE(isBrokerHostPage(url)) << c.url << " without a broker";
        EXPECT_FALSE(isBrokerUrl(url)) << c.url << " without a broker";
    }
    ASSERT_TRUE(initBrokerUrl("https://broker.example/"));
    EXPECT_EQ(brokerUrl(), QUrl("https://broker.example:443/"));
    for (const BrokerPageCase& c : brokerPageCases) {
        const QUrl url(QString::fromLatin1(c.url));
        EXPECT_EQ(isBrokerHostPage(url), c.hostPage) << c.url;
        EXPECT_EQ(isBrokerUrl(url), c.hostPage) << c.url;
        EXPECT_EQ(isBrokerSignInPage(url), c.signIn) << c.url;
        EXPECT_EQ(isBrokerSignOutPage(url), c.signOut) << c.url;
    }
    EXPECT_TRUE(log.contains("Allowing navigation.  Url from broker server: broker.example"));
}

TEST_F(UrlClassification, PageNamesAreTheLastPathSegmentExactly) {
    const struct {
        const char* url;
        bool named;
    } cases[] = {
        {"https://h/signin.html", true},     {"https://h/a/b/signin.html?x=1", true},
        {"https://h/xsignin.html", false},   {"https://h/Signin.html", false},
        {"https://h/signin.html/", false},   {"https://h/sign%69n.html", true},
    };
    for (const auto& c : cases) EXPECT_EQ(urlIsPage(QUrl(c.url), "signin.html"), c.named) << c.url;
}

TEST_F(UrlClassification, ServerPagesByHostOnly) {
    EXPECT_FALSE(isServerUrl(QUrl()));
    EXPECT_TRUE(isServerUrl(QUrl("/only/a/path")));
    EXPECT_FALSE(isServerUrl(QUrl("https://desk.example/")));
    EXPECT_TRUE(log.contains("Rejecting navigation.Url must be from sign - in host : ''"));

    QString error;
    ASSERT_TRUE(setServerUrl(QStringLiteral("https://desk.example:8443/x"), error));
    EXPECT_EQ(serverUrl(), QUrl("https://desk.example:8443/x"));
    EXPECT_TRUE(isServerUrl(QUrl("http://desk.example/other")));
    EXPECT_FALSE(isServerUrl(QUrl("https://broker.example:8443/x")));

    assignServerUrl(QUrl("http://other.example:81/y"));
    EXPECT_EQ(serverUrlText(), "http://other.example:81/y");
    assignServerUrl(QUrl());
    EXPECT_TRUE(serverUrl().isEmpty());
}

TEST_F(UrlClassification, NormalisedAddressesAsQUrl) {
    QUrl url(QStringLiteral("https://unchanged/"));
    QString error;
    ASSERT_TRUE(normalizeUrl(QStringLiteral("desk.example"), url, error));
    EXPECT_EQ(url.toString(), QStringLiteral("https://desk.example:443/"));
    EXPECT_EQ(url.port(), 443);
    EXPECT_FALSE(normalizeUrl(QStringLiteral("ftp://desk.example"), url, error));
    EXPECT_EQ(error, QStringLiteral("Only https and http URLs are supported."));
    EXPECT_EQ(url.toString(), QStringLiteral("https://desk.example:443/"));
}

TEST_F(UrlClassification, LogFormHidesCredentialsAndDropsOtherItems) {
    const struct {
        const char* url;
        const char* masked;
    } cases[] = {
        {"qdk://desk.example:80/a/b?user=bob&password=Pw0rd&other=1", "http://desk.example:80/a/b?user=-----&password=-----"},
        {"https://desk.example:443/p", "https://desk.example:443/p"},
        {"qdk://desk.example/p?username=bob&secure=0", "https://desk.example/p?user=-----"},
        {"http://desk.example:8080/p?secure", "https://desk.example:8080/p"},
    };
    for (const auto& c : cases) EXPECT_EQ(maskedUrlText(QUrl(c.url)), c.masked) << c.url;
}
