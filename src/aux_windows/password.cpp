#include "aux_windows/password.h"

#include "ui_password.h"

#include <QPushButton>

PasswordWindow::PasswordWindow(const QString &server, bool again) : m_ui(new Ui::PasswordWindow)
{
    m_ui->setupUi(this);
    m_ui->lblPrompt->setText(
        (again ? QStringLiteral("La contraseña no era correcta. ") : QString())
        + QStringLiteral("El servidor ") + server
        + QStringLiteral(" pide la contraseña del grupo. Se envía cifrada."));
    m_ui->buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("&Aceptar"));
    m_ui->buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("&Cancelar"));
}

PasswordWindow::~PasswordWindow()
{
    delete m_ui;
}

QString PasswordWindow::password() const
{
    return m_ui->txtPassword->text();
}

bool PasswordWindow::remember() const
{
    return m_ui->chkRemember->isChecked();
}
