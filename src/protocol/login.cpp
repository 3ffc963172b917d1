#include "protocol/login.h"

#include "incoming/incoming.h"
#include "layouts/placement.h"
#include "main_window/mess.h"
#include "main_window/user_tree.h"
#include "program.h"
#include "protocol/client_socket.h"
#include "protocol/wire.h"
#include "ui_login.h"

Login::Login(Program &program)
    : ui(new Ui::Login), m_program(program), m_ws(new ClientSocket(this))
{
    ui->setupUi(this);
    placement::useLayoutFont(this);
    setAttribute(Qt::WA_DeleteOnClose);
    setFixedSize(size());
    placement::centre(this);

    connect(ui->cmdLogin, &QPushButton::clicked, this, &Login::cmdLoginClicked);
    connect(ui->txtUser, &QLineEdit::returnPressed, this, &Login::cmdLoginClicked);
    connect(ui->Command1, &QPushButton::clicked, this, &Login::command1Clicked);
    connect(m_ws, &ClientSocket::connected, this, &Login::wsConnected);
    connect(m_ws, &ClientSocket::error, this, &Login::wsError);
    Incoming *incoming = &m_program.incoming();
    connect(m_ws, &ClientSocket::dataArrival, incoming, &Incoming::dataArrival);
}

Login::~Login()
{
    delete ui;
}

QString Login::nickname() const
{
    return ui->txtUser->text();
}

void Login::clearNickname()
{
    ui->txtUser->clear();
}

void Login::cmdLoginClicked()
{
    if (ui->txtUser->text().isEmpty()) {
        m_program.ShowError(QStringLiteral("Debes de Escribir un Nickname para entrar."));
        return;
    }
    if (ui->Text1->text().isEmpty()) {
        m_program.ShowError(
            QStringLiteral("Debes de introducir el ip del Dravonet Korvex a conectarte."));
        return;
    }
    m_ws->close();
    ui->txtHost->setText(ui->Text1->text());
    m_ws->connectTo(ui->txtHost->text(), wire::ServerPort);
}

void Login::command1Clicked()
{
    ui->Text1->setText(m_ws->localIP());
}

void Login::wsConnected()
{
    m_program.SendCommand(wire::buildMessage(u"LOGIN", {nickname()}));
    hide();
    m_program.SetStatus(QStringLiteral("Logged In"));
    Mess *mess = m_program.mess();
    mess->userTree()->clear();
    mess->userTree()->addRoot(nickname());
    mess->setCaption(nickname());
    mess->setLoggedIn(true);
}

void Login::wsError()
{
    m_program.SetStatus(QStringLiteral("Error al conectar"));
}
