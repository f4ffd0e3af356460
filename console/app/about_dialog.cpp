// The About box.
#include "about_dialog.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "console_ids.h"
#include "menus.h"

namespace nb::console {

UINT NoticeOf(int brand) {
  switch (brand) {
    case 1: return kStrNoticeBrand1;
    case 2: return kStrNoticeBrand2;
    default: return kStrNoticeDefault;
  }
}

}  // namespace nb::console

CAboutDlg::CAboutDlg(const nb::console::StringLoader& strings, int brand, const QPixmap& icon, QWidget* parent)
    : QDialog(parent) {
  using nb::console::Text;
  setObjectName("100");
  setWindowTitle(Text(strings, nb::console::kStrAboutCaption));
  auto* picture = new QLabel;
  picture->setPixmap(icon);
  picture->setAlignment(Qt::AlignTop);
  auto* product = new QLabel(Text(strings, nb::console::kStrProductVersion));
  product->setObjectName("1002");
  auto* notice = new QLabel(Text(strings, nb::console::NoticeOf(brand)));
  notice->setObjectName("1000");
  notice->setWordWrap(true);
  auto* ok = new QPushButton(Text(strings, nb::console::kStrOk));
  ok->setObjectName(QString::number(IDOK));
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);

  auto* texts = new QVBoxLayout;
  texts->addWidget(product);
  texts->addWidget(notice);
  texts->addStretch();
  auto* top = new QHBoxLayout;
  top->addWidget(picture);
  top->addLayout(texts, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(ok);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addLayout(buttons);
  setMinimumWidth(360);
}
