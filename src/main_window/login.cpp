#include "main_window/login.h"

#include "layouts/placement.h"
#include "core/client.h"
#include "protocol/client_socket.h"
#include "protocol/wire.h"
#include "core/session.h"
#include "core/settings.h"
#include "ui_login.h"

#include <QCloseEvent>

Login::Login(Client &core) : m_ui(new Ui::Login), m_core(core)
{
    m_ui->setupUi(this);
    placement::useLayoutFont(this);
    setAttribute(Qt::WA_DeleteOnClose);
    setFixedSize(size());
    placement::centre(this);
    // The server refuses a longer nickname.
    m_ui->txtUser->setMaxLength(wire::NicknameLength);

    connect(m_ui->cmdLogin, &QPushButton::clicked, this, &Login::cmdLoginClicked);
    connect(m_ui->txtUser, &QLineEdit::returnPressed, this, &Login::cmdLoginClicked);
    connect(m_ui->Command1, &QPushButton::clicked, this, &Login::command1Clicked);
}

Login::~Login()
{
    delete m_ui;
}

ClientSocket &Login::WS()
{
    return m_core.session().socket();
}

QString Login::nickname() const
{
    return m_ui->txtUser->text();
}

void Login::setNickname(const QString &nickname)
{
    m_ui->txtUser->setText(nickname);
}

QString Login::host() const
{
    return m_ui->txtHost->text();
}

void Login::logInWith(const QString &nickname, const QString &address)
{
    m_ui->txtUser->setText(nickname);
    m_ui->Text1->setText(address);
    m_ui->cmdLogin->click();
}

void Login::showEvent(QShowEvent *event)
{
    // Who the user was last time, and where.
    if (m_ui->txtUser->text().isEmpty())
        m_ui->txtUser->setText(m_core.settings().nickname());
    if (m_ui->Text1->text().isEmpty())
        m_ui->Text1->setText(m_core.settings().address());
    QWidget::showEvent(event);
}

void Login::closeEvent(QCloseEvent *event)
{
    // The window goes, and an attempt it started goes with it.
    m_core.cancelLogIn();
    QWidget::closeEvent(event);
}

void Login::clearNickname()
{
    m_ui->txtUser->clear();
}

void Login::cmdLoginClicked()
{
    if (m_ui->txtUser->text().isEmpty()) {
        m_core.showError(QStringLiteral("Debes de Escribir un Nickname para entrar."));
        return;
    }
    // The server would know the user by another name, and every private line to it, or its
    // expulsion, would pass this client by.
    if (wire::asSent(m_ui->txtUser->text()) != m_ui->txtUser->text()) {
        m_core.showError(QStringLiteral("El nickname lleva caracteres que no se pueden "
                                           "enviar. Usa letras latinas, cifras y signos."));
        return;
    }
    if (m_ui->Text1->text().isEmpty()) {
        m_core.showError(
            QStringLiteral("Debes de introducir el ip del Dravonet Korvex a conectarte."));
        return;
    }
    m_ui->txtHost->setText(m_ui->Text1->text());
    m_core.logIn(m_ui->txtUser->text(), m_ui->txtHost->text());
}

void Login::command1Clicked()
{
    m_ui->Text1->setText(WS().localIP());
}
