// The tray shell on the offscreen platform: the menu, the about box, the
// Shutdown confirmation and the fatal path, with the exit replaced so that the
// test survives it.
#include "fakes/TempDir.h"
#include "shell/AboutForm.h"
#include "shell/TrayShell.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace {

// Acts on the next modal widget once its nested loop runs. Gives up after a
// few hundred polls and closes every window, so a missing box fails the test
// instead of hanging it.
void whenModal(std::function<void(QWidget*)> act)
{
    auto* poll = new QTimer;
    auto tries = std::make_shared<int>(0);
    QObject::connect(poll, &QTimer::timeout, [poll, tries, act] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr && ++*tries < 500)
            return;
        poll->stop();
        poll->deleteLater();
        if (modal == nullptr) {
            ADD_FAILURE() << "no modal window appeared";
            QApplication::closeAllWindows();
            return;
        }
        act(modal);
    });
    poll->start(10);
}

QAbstractButton* buttonOf(QMessageBox* box, QMessageBox::StandardButton which)
{
    return box->button(which);
}

class TrayShellTest : public ::testing::Test {
protected:
    TrayShellTest() : shell(true, dir)
    {
        shell.exitAction = [this](int status) { exitStatus = status; };
    }

    TempDir temp{"palavoro-shell"};
    std::string dir = temp.str() + "/";
    TrayShell shell;
    std::optional<int> exitStatus;
};

TEST_F(TrayShellTest, MenuOffersAboutThenShutdown)
{
    shell.buildMenu();
    ASSERT_NE(shell.popUpMenu1(), nullptr);
    QStringList captions;
    for (QAction* action : shell.popUpMenu1()->actions())
        captions << action->text();
    EXPECT_EQ(captions, QStringList({"About", "Shutdown"}));
}

TEST_F(TrayShellTest, TrayIconCarriesTipAndMenu)
{
    shell.buildMenu();
    shell.buildTrayIcon();
    ASSERT_NE(shell.trayIcon(), nullptr);
    EXPECT_EQ(shell.trayIcon()->toolTip(), "Palavoro 0.10");
    EXPECT_EQ(shell.trayIcon()->contextMenu(), shell.popUpMenu1());
    EXPECT_FALSE(shell.trayIcon()->icon().isNull());
}

TEST_F(TrayShellTest, AboutBoxShowsCaptionLinesAndIcon)
{
    shell.buildMenu();
    shell.buildAboutDlg();
    QString caption, product, copyright, programmer, website;
    bool hasPicture = false;
    whenModal([&](QWidget* modal) {
        auto* box = qobject_cast<AboutBox*>(modal);
        ASSERT_NE(box, nullptr);
        caption = box->windowTitle();
        product = box->productName->text();
        copyright = box->copyright->text();
        programmer = box->programmer->text();
        website = box->website->text();
        hasPicture = !box->image1->pixmap().isNull();
        box->okButton->click();
    });
    shell.popUpMenu1()->actions().at(0)->trigger();

    EXPECT_EQ(caption, "Chat Server for the AGWPE");
    EXPECT_EQ(product, "Palavoro 0.10 Build(05)");
    EXPECT_FALSE(copyright.isEmpty());
    EXPECT_FALSE(programmer.isEmpty());
    EXPECT_EQ(website, "");
    EXPECT_TRUE(hasPicture);
    EXPECT_FALSE(exitStatus.has_value());
}

TEST_F(TrayShellTest, ShutdownCancelledLeavesEverythingRunning)
{
    shell.buildMenu();
    shell.buildTrayIcon();
    QString caption, text;
    bool hasOk = false;
    whenModal([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        caption = box->windowTitle();
        text = box->text();
        hasOk = buttonOf(box, QMessageBox::Ok) != nullptr;
        buttonOf(box, QMessageBox::Cancel)->click();
    });
    shell.popUpMenu1()->actions().at(1)->trigger();

    EXPECT_EQ(caption, "Warning!");
    EXPECT_EQ(text, "Are you sure you want to exit?");
    EXPECT_TRUE(hasOk);
    EXPECT_FALSE(exitStatus.has_value());
}

TEST_F(TrayShellTest, ShutdownConfirmedExitsWithStatusZero)
{
    shell.buildMenu();
    shell.buildTrayIcon();
    whenModal([](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        buttonOf(box, QMessageBox::Ok)->click();
    });
    shell.popUpMenu1()->actions().at(1)->trigger();

    ASSERT_TRUE(exitStatus.has_value());
    EXPECT_EQ(*exitStatus, 0);
    EXPECT_FALSE(shell.trayIcon()->isVisible());
}

TEST_F(TrayShellTest, FatalErrorShowsBoxUnderFailureCaptionThenExitsWithOne)
{
    QString caption, text;
    whenModal([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        caption = box->windowTitle();
        text = box->text();
        buttonOf(box, QMessageBox::Ok)->click();
    });
    testing::internal::CaptureStderr();
    shell.fatalError("Link with AGWPE Broken");
    testing::internal::GetCapturedStderr();

    EXPECT_EQ(caption, "Palavoro 0.10 Initialization Failure");
    EXPECT_EQ(text, "Link with AGWPE Broken");
    ASSERT_TRUE(exitStatus.has_value());
    EXPECT_EQ(*exitStatus, 1);
}

TEST(HeadlessShell, FatalErrorGoesToStandardErrorAndExitsWithOne)
{
    TempDir temp("palavoro-shell");
    const std::string dir = temp.str() + "/";
    TrayShell shell(false, dir);
    std::optional<int> status;
    shell.exitAction = [&](int s) { status = s; };
    testing::internal::CaptureStderr();
    shell.fatalError("Instance of Program Already Running");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Instance of Program Already Running"), std::string::npos);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 1);
}

TEST(HeadlessShell, ANameNotYetWrittenIsWrittenHoweverTheProgramEnds)
{
    TempDir temp("palavoro-shell");
    const std::string dir = temp.str() + "/";
    writeFile(dir + "Palavoro.INI", "[PALAVORO]\r\nCALLSIGN=N0SRV\r\nTCP_PORT=9\r\nSTATUS=NOT\r\n");
    writeFile(dir + "Palavoro.USR", "");
    TrayShell shell(false, dir);
    shell.exitAction = [](int) {};
    testing::internal::CaptureStderr();
    ASSERT_TRUE(shell.start());
    shell.form()->userFile().save(1, "N0AAA", "Ann", "");
    shell.fatalError("Link with AGWPE Broken");
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(readFile(dir + "Palavoro.USR"), "[USERS]\r\nN0AAA=Ann\r\n[INFO]\r\nN0AAA=\r\n");
}

class IconTest : public ::testing::Test {
protected:
    static QRgb corner(const QIcon& icon) { return icon.pixmap(32, 32).toImage().pixel(16, 16); }
    TempDir temp{"palavoro-shell"};
    std::string dir = temp.str() + "/";
};

TEST_F(IconTest, MissingIconFileFallsBackToBuiltIn)
{
    QIcon icon = TrayShell::loadIcon(dir);
    ASSERT_FALSE(icon.isNull());
    EXPECT_EQ(corner(icon), corner(QIcon(BUILTIN_ICON)));
}

TEST_F(IconTest, UnreadableIconFileFallsBackToBuiltIn)
{
    writeFile(dir + "PALAVORO.ICO", "not an icon");
    QIcon icon = TrayShell::loadIcon(dir);
    ASSERT_FALSE(icon.isNull());
    EXPECT_EQ(corner(icon), corner(QIcon(BUILTIN_ICON)));
}

TEST_F(IconTest, IconFileInWorkingDirectoryReplacesBuiltIn)
{
    QImage red(32, 32, QImage::Format_ARGB32);
    red.fill(QColor(255, 0, 0));
    ASSERT_TRUE(red.save(QString::fromStdString(dir + "PALAVORO.ICO"), "ICO"));
    EXPECT_EQ(corner(TrayShell::loadIcon(dir)), qRgb(255, 0, 0));
}

} // namespace
