// AboutDialog: holds what the about box shows and runs one box modally on request.
#pragma once

#include <QIcon>
#include <QString>

class QWidget;

class AboutDialog {
public:
    QString title;
    QString productName;
    QString copyRight;
    QString programmer;
    QString webSite;
    QIcon icon;
    bool timed = false; // closes by itself after a while; never set here

    // Builds the box, shows it modally and releases it; the dialog's result.
    int execute(QWidget* parent = nullptr) const;
};
