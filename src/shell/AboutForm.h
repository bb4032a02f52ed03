// AboutBox: the modal about box, laid out at fixed positions: a raised panel
// with the icon and four lines, and an OK button below it.
#pragma once

#include <QDialog>

class QFrame;
class QLabel;
class QPushButton;

class AboutBox : public QDialog {
    Q_OBJECT
public:
    explicit AboutBox(QWidget* parent = nullptr);

    QFrame* panel1;
    QLabel* productName;
    QLabel* copyright;
    QLabel* programmer;
    QLabel* website;
    QFrame* panel2;
    QLabel* image1;
    QPushButton* okButton;

    void okButtonClick();
};
