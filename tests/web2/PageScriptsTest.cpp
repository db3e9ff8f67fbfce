// The scripts the client builds for its pages: texts reach the page as
// JavaScript string literals whatever they contain, and the full-screen
// pieces carry the state they are given.
#include "PageScripts.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <gtest/gtest.h>

namespace {

// Parses the literal as JSON and gives back the text it encodes.
QString decodeLiteral(const QString& literal) {
    const QJsonDocument document = QJsonDocument::fromJson(("[" + literal + "]").toUtf8());
    EXPECT_TRUE(document.isArray()) << literal.toStdString();
    return document.array().at(0).toString();
}

// Whatever the nonce holds, it stays inside its string literal.
TEST(PageScriptBuilders, NonceTextCannotLeaveItsLiteral) {
    const QString cases[] = {
        "",
        "plain",
        "quote\" and apostrophe'",
        "back\\slash",
        "line\nbreak\rand\ttab",
        "\";alert(1);//",
        QString::fromUtf8("umlaut \xc3\xa4 and \xe2\x80\xa8 separator"),
        QString(QChar(1)) + QChar(0x1f),
    };
    for (const QString& text : cases) {
        const QString script = PageScripts::bridgeNonce(text.toStdString());
        ASSERT_TRUE(script.startsWith("gJSBridgeNonce=\"") && script.endsWith("\";")) << script.toStdString();
        const QString literal = script.mid(15, script.size() - 16);
        EXPECT_FALSE(literal.contains('\n')) << literal.toStdString();
        EXPECT_FALSE(literal.contains(QChar(0x2028)));
        EXPECT_EQ(decodeLiteral(literal), text) << text.toStdString();
    }
}

TEST(PageScriptBuilders, ValuesGoInAsStringLiterals) {
    struct Case {
        QString script;
        QString expected;
    };
    const Case cases[] = {
        {PageScripts::bridgeNonce("abc-_09"), "gJSBridgeNonce=\"abc-_09\";"},
        {PageScripts::bridgeNonce("a\"b"), "gJSBridgeNonce=\"a\\\"b\";"},
        {PageScripts::brokerUrl(QUrl("https://broker.example/index.pl")),
         "nativeClientBrokerURL = \"https://broker.example/index.pl\"; PAGE_MAX_RETRY_SECONDS = 20;"},
        // A quote in an address cannot end the string early.
        {PageScripts::brokerUrl(QUrl::fromEncoded("https://b.example/x\"y", QUrl::TolerantMode)),
         "nativeClientBrokerURL = \"https://b.example/x%22y\"; PAGE_MAX_RETRY_SECONDS = 20;"},
        {PageScripts::fullScreenState(true),
         "document.mozFullScreen = true;\ndocument.mozFullscreenElement = document.body;\n"},
        {PageScripts::fullScreenState(false), "document.mozFullScreen = false;\ndocument.mozFullscreenElement = null;\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.script.toStdString(), c.expected.toStdString());
}

TEST(PageScriptBuilders, FullScreenControlsHideTheHintOnlyWhenAsked) {
    const QString withHint = PageScripts::fullScreenControls(true);
    const QString withoutHint = PageScripts::fullScreenControls(false);
    EXPECT_FALSE(withHint.contains("display: none; "));
    EXPECT_TRUE(withoutHint.contains("pointer-events: none; display: none; "));
    for (const QString& script : {withHint, withoutHint}) {
        EXPECT_TRUE(script.contains("top: -84px; width: 42px; height: 42px; border-width: 11px;"));
        EXPECT_TRUE(script.contains("e.clientY >= 126)"));
        EXPECT_TRUE(script.endsWith("var __NCFSControl = new __NativeClientFullScreenControl();"));
    }
}

} // namespace
