// The about box's widgets.
#include "AboutForm.h"

#include <QFrame>
#include <QLabel>
#include <QPushButton>

namespace {

QLabel* makeLabel(QWidget* parent, const char* name, const QString& text, int top, bool wrap)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setGeometry(64, top, 209, wrap ? 30 : 20);
    label->setWordWrap(wrap);
    return label;
}

} // namespace

AboutBox::AboutBox(QWidget* parent) : QDialog(parent)
{
    setWindowTitle("About");
    setFixedSize(296, 182);
    setModal(true);

    panel1 = new QFrame(this);
    panel1->setObjectName("Panel1");
    panel1->setGeometry(8, 8, 281, 137);
    panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    panel1->setLineWidth(2);

    productName = makeLabel(panel1, "ProductName", "Product Name", 8, false);
    copyright = makeLabel(panel1, "Copyright", "Copyright", 40, false);
    programmer = makeLabel(panel1, "Programmer", "Programmer:", 72, true);
    website = makeLabel(panel1, "Website", "WebSite:", 104, true);

    panel2 = new QFrame(panel1);
    panel2->setObjectName("Panel2");
    panel2->setGeometry(8, 8, 50, 50);
    panel2->setFrameStyle(QFrame::Panel | QFrame::Sunken);

    image1 = new QLabel(panel2);
    image1->setObjectName("Image1");
    image1->setGeometry(1, 1, 48, 48);
    image1->setAlignment(Qt::AlignCenter);

    okButton = new QPushButton("OK", this);
    okButton->setObjectName("OKButton");
    okButton->setGeometry(111, 152, 75, 25);
    okButton->setDefault(true);
    connect(okButton, &QPushButton::clicked, this, &AboutBox::okButtonClick);
}

void AboutBox::okButtonClick()
{
    accept();
}
