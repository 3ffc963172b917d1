#include "main_window/login.h"

#include "aux_windows/desks.h"
#include "layouts/placement.h"
#include "core/client.h"
#include "protocol/client_socket.h"
#include "protocol/wire.h"
#include "core/session.h"
#include "core/settings.h"
#include "ui_login.h"

#include <QCloseEvent>
#include <QSignalBlocker>
#include <QSysInfo>

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
    connect(m_ui->cmdCode, &QPushButton::clicked, this, &Login::cmdCodeClicked);
    // Moved to with the keys, or clicked again after the address was typed over.
    connect(m_ui->lstServers, &QListWidget::currentItemChanged, this, &Login::serverChosen);
    connect(m_ui->lstServers, &QListWidget::itemClicked, this, &Login::serverChosen);
    connect(&m_core.foundServers(), &FoundServers::changed, this, &Login::listServers);
    // Typed over, the address is the user's own, and no announcement speaks for it.
    connect(m_ui->Text1, &QLineEdit::textEdited, this, [this] { m_chosen = {}; });
    listServers();
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
    m_core.foundServers().browse();
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
    if (boxesFilled())
        logIn({});
}

bool Login::boxesFilled()
{
    if (m_ui->txtUser->text().isEmpty()) {
        m_core.showError(QStringLiteral("Debes de Escribir un Nickname para entrar."));
        return false;
    }
    // The server would know the user by another name, and every private line to it, or its
    // expulsion, would pass this client by.
    if (wire::asSent(m_ui->txtUser->text()) != m_ui->txtUser->text()) {
        m_core.showError(QStringLiteral("El nickname lleva caracteres que no se pueden "
                                           "enviar. Usa letras latinas, cifras y signos."));
        return false;
    }
    if (m_ui->Text1->text().isEmpty()) {
        m_core.showError(
            QStringLiteral("Debes de introducir el ip del Dravonet Korvex a conectarte."));
        return false;
    }
    return true;
}

void Login::logIn(Session::Way way)
{
    m_ui->txtHost->setText(m_ui->Text1->text());
    if (m_ui->txtHost->text() == m_chosen.address)
        way.announced = m_chosen.fingerprint;
    m_core.logIn(m_ui->txtUser->text(), m_ui->txtHost->text(), way);
}

void Login::cmdCodeClicked()
{
    if (!boxesFilled())
        return;
    DeskJoinWindow window(m_ui->txtUser->text(), QSysInfo::machineHostName());
    if (window.exec() == QDialog::Accepted)
        logIn({{}, window.code(), window.desk()});
}

void Login::listServers()
{
    QListWidget *list = m_ui->lstServers;
    // The list changes under the user's choice, which it does not make again.
    const QSignalBlocker quiet(list);
    const QString current = list->currentItem() ? list->currentItem()->data(Qt::UserRole).toString()
                                                : QString();
    list->clear();
    for (const FoundServer &server : m_core.foundServers().servers()) {
        auto *item = new QListWidgetItem(
            server.name + QStringLiteral(" — ") + server.address
                + (server.encrypts ? QStringLiteral(" (cifrado)") : QString()),
            list);
        item->setData(Qt::UserRole, server.name);
        if (server.name == current)
            list->setCurrentItem(item);
    }
}

void Login::serverChosen(const QListWidgetItem *item)
{
    for (const FoundServer &server : m_core.foundServers().servers()) {
        if (item && server.name == item->data(Qt::UserRole).toString()) {
            m_chosen = server;
            m_ui->Text1->setText(server.address);
        }
    }
}

void Login::command1Clicked()
{
    m_ui->Text1->setText(WS().localIP());
}
