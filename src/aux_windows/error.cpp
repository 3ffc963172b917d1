#include "aux_windows/error.h"

#include "layouts/placement.h"
#include "ui_error.h"

Error::Error() : ui(new Ui::Error)
{
    ui->setupUi(this);
    placement::useLayoutFont(this);
    setAttribute(Qt::WA_DeleteOnClose);
    setFixedSize(size());
    placement::centre(this);
}

Error::~Error()
{
    delete ui;
}

void Error::setErrorText(const QString &text)
{
    ui->lblNewError->setText(text);
}

QString Error::errorText() const
{
    return ui->lblNewError->text();
}
