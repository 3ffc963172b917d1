#include "main_window/mess.h"
#include "layouts/placement.h"

#include "layouts/panels.h"
#include "layouts/plain_text.h"
#include "program.h"
#include "protocol/login.h"
#include "ui_mess.h"

#include <QCloseEvent>
#include <QLabel>

Mess::Mess(Program &program) : ui(new Ui::Mess), m_program(program)
{
    ui->setupUi(this);
    ui->SSTab1->placeControls();

    auto *figure = new QLabel(ui->stat);
    figure->setPixmap(QIcon(QStringLiteral(":/pictures/figure.svg")).pixmap(19, 20));
    ui->stat->addWidget(figure);
    panels::setUp(ui->stat, {133});
    ui->stat->setFixedHeight(25);
    setStatusLine(QStringLiteral("Status : Idle"));

    ui->centralwidget->setFixedSize(225, 331 - 25);
    setFixedSize(225, 331 + ui->menubar->sizeHint().height());
    placement::centre(this);

    connect(ui->mnuLogin, &QAction::triggered, this, [this] {
        Login *login = m_program.login();
        login->show();
        login->raise();
        login->activateWindow();
    });
}

Mess::~Mess()
{
    delete ui;
}

UserTree *Mess::userTree() const
{
    return ui->lstUsers;
}

void Mess::setStatusLine(const QString &text)
{
    panels::setText(ui->stat, 1, text);
}

QString Mess::statusLine() const
{
    return panels::text(ui->stat, 1);
}

void Mess::setCaption(const QString &caption)
{
    plain::setCaption(this, caption);
}

void Mess::setLoggedIn(bool loggedIn)
{
    ui->mnuLogin->setEnabled(!loggedIn);
    ui->mnuClose->setEnabled(loggedIn);
}

void Mess::closeEvent(QCloseEvent *event)
{
    event->ignore();
    hide();
}
