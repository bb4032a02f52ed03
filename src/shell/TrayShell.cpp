#include "TrayShell.h"

#include "QtClientSocket.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMessageBox>
#include <QPixmap>
#include <QSystemTrayIcon>

#include <unistd.h>

#include <cstdio>
#include <exception>
#include <iostream>

// The resource lives in a static library: nothing would pull it in otherwise.
// Outside any namespace, as the macro requires.
static void InitResources()
{
    Q_INIT_RESOURCE(palavoro);
}

namespace {

void EndProcess(int status)
{
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr)
        QGuiApplication::sync();
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    // Nothing is torn down: every file is closed after each write already,
    // and the link and the stations need no goodbye.
    ::_exit(status);
}

} // namespace

TrayShell::TrayShell(bool gui, std::string baseDirectory)
    : ExitAction(EndProcess), gui_(gui), baseDirectory_(std::move(baseDirectory)), timers_(qtTimers_, Reporter())
{
    InitResources();
}

TrayShell::~TrayShell() = default;

ErrorReporter TrayShell::Reporter()
{
    return [this](const std::string& what) { ReportError(what); };
}

bool TrayShell::Start()
{
    ErrorReporter report = Reporter();
    auto makeSocket = [report] { return std::make_unique<GuardedSocket>(std::make_unique<QtClientSocket>(), report); };
    form_ = std::make_unique<TForm1>(*this, timers_, makeSocket, baseDirectory_);
    try {
        form_->FormCreate();
    } catch (const std::exception& error) {
        FatalError(error.what());
        return false;
    }
    QCoreApplication::setApplicationName(APP_TITLE);
    if (gui_) {
        BuildMenu();
        BuildTrayIcon();
        BuildAboutDlg();
        QApplication::setWindowIcon(AboutDlg.Icon);
    }
    return true;
}

void TrayShell::FatalError(const std::string& text)
{
    std::cerr << FATAL_CAPTION << ": " << text << std::endl;
    if (gui_) {
        QMessageBox box(QMessageBox::Critical, FATAL_CAPTION, QString::fromStdString(text), QMessageBox::Ok);
        box.exec();
    }
    ExitClick(1);
}

void TrayShell::ReportError(const std::string& what)
{
    std::cerr << "Palavoro: " << what << std::endl;
    if (form_)
        form_->WriteLog(1, "{PALAVORO} Exception in event handler: " + what);
}

void TrayShell::BuildMenu()
{
    popUpMenu1_ = std::make_unique<QMenu>();
    QAction* about = popUpMenu1_->addAction("About");
    QAction* shutdown = popUpMenu1_->addAction("Shutdown");
    connect(about, &QAction::triggered, this, [this] { RunGuarded(Reporter(), [this] { AboutClick(); }); });
    connect(shutdown, &QAction::triggered, this, [this] { RunGuarded(Reporter(), [this] { ShutDownClick(); }); });
}

void TrayShell::BuildTrayIcon()
{
    // The tray shows the built-in icon; PALAVORO.ICO only dresses the about box
    // and the windows.
    trayIcon_ = std::make_unique<QSystemTrayIcon>(QIcon(BUILTIN_ICON));
    trayIcon_->setToolTip(APP_TITLE);
    trayIcon_->setContextMenu(popUpMenu1_.get());
    trayIcon_->show();
}

void TrayShell::BuildAboutDlg()
{
    AboutDlg.Title = ABOUT_TITLE;
    AboutDlg.ProductName = ABOUT_PRODUCT;
    AboutDlg.CopyRight = ABOUT_COPYRIGHT;
    AboutDlg.Programmer = ABOUT_PROGRAMMER;
    AboutDlg.WebSite = "";
    AboutDlg.Icon = LoadIcon(baseDirectory_);
    AboutDlg.Timer = false;
}

void TrayShell::AboutClick()
{
    AboutDlg.Execute();
}

void TrayShell::ShutDownClick()
{
    QMessageBox box(QMessageBox::Warning, "Warning!", "Are you sure you want to exit?",
                    QMessageBox::Ok | QMessageBox::Cancel);
    if (box.exec() == QMessageBox::Ok)
        ExitClick(0);
}

void TrayShell::ExitClick(int status)
{
    if (trayIcon_)
        trayIcon_->hide();
    if (ExitAction)
        ExitAction(status);
}

QIcon TrayShell::LoadIcon(const std::string& directory)
{
    QPixmap picture;
    if (picture.load(QString::fromStdString(directory + ICON_FILE)))
        return QIcon(picture);
    return QIcon(BUILTIN_ICON);
}
