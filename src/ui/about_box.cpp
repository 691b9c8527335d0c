// The about box's widgets; the link goes through the desktop's URL handler.
#include "about_box.h"

#include <QDesktopServices>
#include <QLabel>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

namespace orvelle::ui {

TAboutBox::TAboutBox(QWidget* parent) : QDialog(parent) {
  setObjectName("AboutBox");
  setWindowTitle("About");
  auto* product =
      new QLabel(QString("<b>Orvelle Server</b> version %1").arg(kProductVersion), this);
  product->setObjectName("ProductName");
  HelpLink = new QLabel(this);
  HelpLink->setObjectName("HomePage");
  HelpLink->setTextInteractionFlags(Qt::TextBrowserInteraction);
  connect(HelpLink, &QLabel::linkActivated, this,
          [](const QString& url) { QDesktopServices::openUrl(QUrl(url)); });
  ShowHelpUrl({});
  auto* close = new QPushButton("Close", this);
  close->setObjectName("CloseButton");
  connect(close, &QPushButton::clicked, this, &QDialog::accept);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(product);
  layout->addWidget(HelpLink);
  layout->addWidget(close, 0, Qt::AlignHCenter);
  layout->setSizeConstraint(QLayout::SetFixedSize);
}

void TAboutBox::ShowHelpUrl(const QString& url) {
  if (url.isEmpty()) {
    HelpLink->setText("Help: start the server, then click \"Start browser\".");
    return;
  }
  HelpLink->setText(QString("Help: <a href=\"%1\">%1</a>").arg(url.toHtmlEscaped()));
}

}  // namespace orvelle::ui
