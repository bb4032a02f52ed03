// The about dialog, shown from the tray menu.
#include "AboutDialog.h"

#include "AboutForm.h"

#include <QLabel>

int AboutDialog::execute(QWidget* parent) const
{
    AboutBox box(parent);
    box.setWindowTitle(title);
    box.productName->setText(productName);
    box.copyright->setText(copyRight);
    box.programmer->setText(programmer);
    box.website->setText(webSite);
    box.image1->setPixmap(icon.pixmap(48, 48));
    box.setWindowIcon(icon);
    return box.exec();
}
