#include "aux_windows/password.h"

#include "ui_password.h"

#include <QPushButton>

PasswordWindow::PasswordWindow(const QString &server, bool again) : ui(new Ui::PasswordWindow)
{
    ui->setupUi(this);
    ui->lblPrompt->setText(
        (again ? QStringLiteral("La contraseña no era correcta. ") : QString())
        + QStringLiteral("El servidor ") + server
        + QStringLiteral(" pide la contraseña del grupo. Se envía cifrada."));
    ui->buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("&Aceptar"));
    ui->buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("&Cancelar"));
}

PasswordWindow::~PasswordWindow()
{
    delete ui;
}

QString PasswordWindow::password() const
{
    return ui->txtPassword->text();
}

bool PasswordWindow::remember() const
{
    return ui->chkRemember->isChecked();
}
