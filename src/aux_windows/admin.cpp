#include "aux_windows/admin.h"

#include "core/clock.h"
#include "layouts/placement.h"
#include "ui_admin.h"

Admin::Admin() : m_ui(new Ui::Admin)
{
    m_ui->setupUi(this);
    placement::useLayoutFont(this);
    setAttribute(Qt::WA_DeleteOnClose);
    setFixedSize(size());
    placement::centre(this);
}

Admin::~Admin()
{
    delete m_ui;
}

void Admin::showNotice(quint64 number, const QString &notice)
{
    // A notice that waited behind the announcement box must not hide a later one.
    if (number > m_shownNumber) {
        m_shownNumber = number;
        m_ui->txtMess->setPlainText(notice);
        m_ui->lblTime->setText(QStringLiteral("Time : ") + clock_text::longTime());
        m_ui->lblDate->setText(QStringLiteral("Date : ") + clock_text::shortDate());
    }
    show();
}
