#include "aux_windows/error.h"

#include "layouts/placement.h"
#include "ui_error.h"

Error::Error() : m_ui(new Ui::Error)
{
    m_ui->setupUi(this);
    placement::useLayoutFont(this);
    setAttribute(Qt::WA_DeleteOnClose);
    setFixedSize(size());
    placement::centre(this);
}

Error::~Error()
{
    delete m_ui;
}

void Error::setErrorText(const QString &text)
{
    m_ui->lblNewError->setText(text);
}

QString Error::errorText() const
{
    return m_ui->lblNewError->text();
}
