// TAboutDlg: holds what the about box shows and runs one box modally on request.
#pragma once

#include <QIcon>
#include <QString>

class QWidget;

class TAboutDlg {
public:
    QString Title;
    QString ProductName;
    QString CopyRight;
    QString Programmer;
    QString WebSite;
    QIcon Icon;
    bool Timer = false;

    // Builds the box, shows it modally and releases it; the dialog's result.
    int Execute(QWidget* parent = nullptr) const;
};
