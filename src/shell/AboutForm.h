// TAboutBox: the modal about box, laid out at fixed positions: a raised panel
// with the icon and four lines, and an OK button below it.
#pragma once

#include <QDialog>

class QFrame;
class QLabel;
class QPushButton;

class TAboutBox : public QDialog {
    Q_OBJECT
public:
    explicit TAboutBox(QWidget* parent = nullptr);

    QFrame* Panel1;
    QLabel* ProductName;
    QLabel* Copyright;
    QLabel* Programmer;
    QLabel* Website;
    QFrame* Panel2;
    QLabel* Image1;
    QPushButton* OKButton;

    void OKButtonClick();
};
