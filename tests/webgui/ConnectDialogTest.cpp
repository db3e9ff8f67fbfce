// The connect dialog against real web servers: a server or a broker is
// accepted with its normalised address, errors appear on the error line,
// the history file keeps at most six addresses newest first, and a pending
// start-up message is shown once; the dialog's images are compiled in.
#include "ConnectDialog.h"

#include "BrokerSession.h"
#include "GuiApplication.h"
#include "LogCapture.h"
#include "PageServer.h"
#include "WebResources.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMovie>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

class ConnectDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ensureApplication();
        BrokerSession::instance() = BrokerSession();
        QDir(QString::fromStdString(testDataDirectory())).removeRecursively();
    }

    void makeDialog() {
        dialog = std::make_unique<ConnectDialog>(nullptr);
        QObject::connect(dialog.get(), &ConnectDialog::acceptConnect, [this](QUrl& url) { accepted.push_back(url); });
        QObject::connect(dialog.get(), &ConnectDialog::rejectConnect, [this] { ++rejected; });
        dialog->connectWithRetry(QUrl());
    }

    QComboBox* box() { return dialog->findChild<QComboBox*>(); }
    std::vector<std::string> items() {
        std::vector<std::string> texts;
        for (int i = 0; i < box()->count(); ++i) texts.push_back(box()->itemText(i).toStdString());
        return texts;
    }
    // The shown error line's text, or "" when hidden.
    std::string errorLine() {
        for (QLabel* label : dialog->findChildren<QLabel*>())
            if (label->movie() == nullptr && label->pixmap(Qt::ReturnByValue).isNull() && label->buddy() == nullptr &&
                !label->isHidden())
                return label->text().toStdString();
        return "";
    }
    bool spinnerShown() {
        for (QLabel* label : dialog->findChildren<QLabel*>())
            if (label->movie() != nullptr) return !label->isHidden();
        return false;
    }
    // Types the address and presses Enter in the address field.
    void enter(const std::string& address) {
        box()->lineEdit()->setText(QString::fromStdString(address));
        QTest::keyClick(box()->lineEdit(), Qt::Key_Return);
    }
    std::string historyFile() { return testDataDirectory() + "/history"; }

    LogCapture log{"trace"};
    std::unique_ptr<ConnectDialog> dialog;
    std::vector<QUrl> accepted;
    int rejected = 0;
};

} // namespace

TEST_F(ConnectDialogTest, ServerAddressIsAcceptedInItsNormalForm) {
    PageServer server;
    ASSERT_TRUE(server.ready()) << server.output();
    makeDialog();
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Quarrydesk Client 14.0.0"));
    EXPECT_FALSE(dialog->isModal());
    enter("  " + server.url("/server") + "  ");
    ASSERT_EQ(accepted.size(), 1u);
    const std::string normalized = "http://127.0.0.1:" + std::to_string(server.port()) + "/server";
    EXPECT_EQ(accepted[0].toString().toStdString(), normalized);
    EXPECT_EQ(serverUrlText(), normalized);
    EXPECT_TRUE(spinnerShown());
    EXPECT_EQ(errorLine(), "");
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_TRUE(dialog->isVisible());
}

// The broker answers its alive probe at port 80, on an address of its own.
TEST_F(ConnectDialogTest, BrokerAddressIsAcceptedAsBroker) {
    ASSERT_TRUE(ownNetworkNamespace());
    PageServer broker("127.0.0.9", 80, nullptr, {"--broker"});
    ASSERT_TRUE(broker.ready()) << broker.output();
    makeDialog();
    enter("http://127.0.0.9/plain");
    ASSERT_EQ(accepted.size(), 1u);
    EXPECT_EQ(accepted[0].toString().toStdString(), "http://127.0.0.9:80/plain");
    EXPECT_TRUE(isBrokerServiceEnabled());
    EXPECT_TRUE(log.contains("User navigated to connection broker service"));
}

TEST_F(ConnectDialogTest, AddressesThatAreNoServerShowAnError) {
    PageServer server;
    ASSERT_TRUE(server.ready()) << server.output();
    const std::string unreachable = "http://127.0.0.1:" + std::to_string(freeLoopbackPort()) + "/";
    const std::string plain = server.url("/plain");
    const struct {
        std::string address;
        std::string error;
    } cases[] = {
        {unreachable, "Can't reach Quarrydesk server on address " + unreachable},
        {plain, "Can't connect to " + plain + ", because it is not a Quarrydesk server"},
        {"ftp://127.0.0.1/", "Can't reach Quarrydesk server on address ftp://127.0.0.1/"},
    };
    makeDialog();
    for (const auto& c : cases) {
        enter(c.address);
        EXPECT_EQ(errorLine(), c.error) << c.address;
        EXPECT_FALSE(spinnerShown()) << c.address;
    }
    EXPECT_TRUE(accepted.empty());
    EXPECT_TRUE(log.contains("URL is not a connection broker URL"));
    EXPECT_FALSE(isBrokerServiceEnabled());
}

TEST_F(ConnectDialogTest, CancelSignalsRejection) {
    makeDialog();
    for (QPushButton* button : dialog->findChildren<QPushButton*>())
        if (button->text() == QStringLiteral("Cancel")) button->click();
    EXPECT_EQ(rejected, 1);
    EXPECT_EQ(dialog->result(), QDialog::Rejected);
    EXPECT_TRUE(log.contains("User clicked cancel"));
}

TEST_F(ConnectDialogTest, HistoryKeepsSixAddressesNewestFirst) {
    QDir().mkpath(QString::fromStdString(testDataDirectory()));
    writeTextFile(historyFile(),
                  "https://one.example/\nhttps://two.example/\n\nftp://bad.example/\nhttp://exa mple.com/\n"
                  "three.example\nhttps://one.example/\nhttps://four.example/\nhttps://five.example/\n"
                  "https://six.example/\nhttps://seven.example/\nhttps://eight.example/\n");
    makeDialog();
    EXPECT_EQ(items(), (std::vector<std::string>{"https://one.example/", "https://two.example/", "three.example",
                                                 "https://four.example/", "https://five.example/",
                                                 "https://six.example/", "https://seven.example/",
                                                 "https://eight.example/", ""}));
    EXPECT_TRUE(log.contains("Found past URL: three.example"));

    dialog->connectWithRetry(QUrl("https://new.example/desk/guest-signin.html?user=bob"));
    dialog->saveHistory();
    EXPECT_EQ(readTextFile(historyFile()),
              "https://new.example/desk/signin.html\nhttps://one.example/\nhttps://two.example/\n"
              "ftp://bad.example/\nhttp://exa mple.com/\nthree.example\n");

    dialog->connectWithRetry(QUrl("https://two.example/"));
    dialog->saveHistory();
    EXPECT_EQ(readTextFile(historyFile()),
              "https://two.example/\nhttps://new.example/desk/signin.html\nhttps://one.example/\n"
              "ftp://bad.example/\nhttp://exa mple.com/\nthree.example\n");
}

TEST_F(ConnectDialogTest, PendingMessageIsShownByTheFirstDialogOnly) {
    setPendingConnectMessage("Can't access server, URL 'http://desk.example/'");
    makeDialog();
    EXPECT_EQ(errorLine(), "Can't access server, URL 'http://desk.example/'");
    makeDialog();
    EXPECT_EQ(errorLine(), "");
}

TEST(WebResources, ImagesAreCompiledIn) {
    ensureApplication();
    initWebResources();
    for (const char* name : {":images/ajax-loader.gif", ":images/favicon-qdk.ico"}) {
        QFile file(QString::fromLatin1(name));
        EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << name;
        EXPECT_GT(file.size(), 100) << name;
    }
    QMovie spinner(QStringLiteral(":images/ajax-loader.gif"));
    EXPECT_TRUE(spinner.isValid());
    EXPECT_GT(spinner.frameCount(), 1);
}
