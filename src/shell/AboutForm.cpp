#include "AboutForm.h"

#include <QFrame>
#include <QLabel>
#include <QPushButton>

namespace {

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, int top, bool wrap)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setGeometry(64, top, 209, wrap ? 30 : 20);
    label->setWordWrap(wrap);
    return label;
}

} // namespace

TAboutBox::TAboutBox(QWidget* parent) : QDialog(parent)
{
    setWindowTitle("About");
    setFixedSize(296, 182);
    setModal(true);

    Panel1 = new QFrame(this);
    Panel1->setObjectName("Panel1");
    Panel1->setGeometry(8, 8, 281, 137);
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel1->setLineWidth(2);

    ProductName = MakeLabel(Panel1, "ProductName", "Product Name", 8, false);
    Copyright = MakeLabel(Panel1, "Copyright", "Copyright", 40, false);
    Programmer = MakeLabel(Panel1, "Programmer", "Programmer:", 72, true);
    Website = MakeLabel(Panel1, "Website", "WebSite:", 104, true);

    Panel2 = new QFrame(Panel1);
    Panel2->setObjectName("Panel2");
    Panel2->setGeometry(8, 8, 50, 50);
    Panel2->setFrameStyle(QFrame::Panel | QFrame::Sunken);

    Image1 = new QLabel(Panel2);
    Image1->setObjectName("Image1");
    Image1->setGeometry(1, 1, 48, 48);
    Image1->setAlignment(Qt::AlignCenter);

    OKButton = new QPushButton("OK", this);
    OKButton->setObjectName("OKButton");
    OKButton->setGeometry(111, 152, 75, 25);
    OKButton->setDefault(true);
    connect(OKButton, &QPushButton::clicked, this, &TAboutBox::OKButtonClick);
}

void TAboutBox::OKButtonClick()
{
    accept();
}
