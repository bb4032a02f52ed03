#include "AboutDlg.h"

#include "AboutForm.h"

#include <QLabel>

int TAboutDlg::Execute(QWidget* parent) const
{
    TAboutBox box(parent);
    box.setWindowTitle(Title);
    box.ProductName->setText(ProductName);
    box.Copyright->setText(CopyRight);
    box.Programmer->setText(Programmer);
    box.Website->setText(WebSite);
    box.Image1->setPixmap(Icon.pixmap(48, 48));
    box.setWindowIcon(Icon);
    return box.exec();
}
