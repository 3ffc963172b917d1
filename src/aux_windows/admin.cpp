#include "aux_windows/admin.h"

#include "core/clock.h"
#include "layouts/placement.h"
#include "ui_admin.h"

Admin::Admin() : ui(new Ui::Admin)
{
    ui->setupUi(this);
    placement::useLayoutFont(this);
    setAttribute(Qt::WA_DeleteOnClose);
    setFixedSize(size());
    placement::centre(this);
}

Admin::~Admin()
{
    delete ui;
}

void Admin::showNotice(quint64 number, const QString &notice)
{
    // A notice that waited behind the announcement box must not hide a later one.
    if (number > m_shownNumber) {
        m_shownNumber = number;
        ui->txtMess->setPlainText(notice);
        ui->lblTime->setText(QStringLiteral("Time : ") + clock_text::longTime());
        ui->lblDate->setText(QStringLiteral("Date : ") + clock_text::shortDate());
    }
    show();
}
