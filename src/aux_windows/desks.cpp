#include "aux_windows/desks.h"

#include "core/own_desks.h"
#include "layouts/placement.h"
#include "layouts/plain_text.h"
#include "layouts/qr_picture.h"
#include "ui_desk_code.h"
#include "ui_desk_join.h"
#include "ui_desks.h"

#include <QPushButton>

DeskCodeWindow::DeskCodeWindow(OwnDesks &desks) : m_ui(new Ui::DeskCodeWindow), m_desks(desks)
{
    m_ui->setupUi(this);
    placement::useLayoutFont(this);
    setAttribute(Qt::WA_DeleteOnClose);
    placement::centre(this);
    connect(m_ui->cmdAnother, &QPushButton::clicked, this, &DeskCodeWindow::ask);
    connect(m_ui->cmdClose, &QPushButton::clicked, this, &QWidget::close);
    connect(&m_desks, &OwnDesks::code, this, &DeskCodeWindow::showCode);
}

DeskCodeWindow::~DeskCodeWindow()
{
    delete m_ui;
}

void DeskCodeWindow::ask()
{
    m_ui->lblCode->clear();
    m_ui->lblPicture->clear();
    m_ui->lblExpires->setText(m_desks.askCode() ? QStringLiteral("Pidiendo un código al servidor…")
                                                : QStringLiteral("No estás conectado."));
}

void DeskCodeWindow::showCode(const QString &code, const QDateTime &expires, const QString &refusal)
{
    m_ui->lblCode->setText(code);
    if (code.isEmpty()) {
        m_ui->lblPicture->clear();
        m_ui->lblExpires->setText(refusal);
        return;
    }
    m_ui->lblPicture->setPixmap(QPixmap::fromImage(qrPicture(code, 5)));
    m_ui->lblExpires->setText(
        QStringLiteral("Sirve una sola vez, hasta las ")
        + expires.toLocalTime().toString(QStringLiteral("HH:mm")) + u'.');
}

DeskJoinWindow::DeskJoinWindow(const QString &nickname, const QString &desk)
    : m_ui(new Ui::DeskJoinWindow)
{
    m_ui->setupUi(this);
    placement::useLayoutFont(this);
    m_ui->lblExplain->setText(
        QStringLiteral("En el equipo donde ya usas el apodo ") + nickname
        + QStringLiteral(", elige «Usar mi apodo en otro equipo…» en el menú Opciones y escribe "
                         "aquí el código que te muestra."));
    m_ui->txtDesk->setText(desk.left(m_ui->txtDesk->maxLength()));
    QPushButton *enter = m_ui->buttons->button(QDialogButtonBox::Ok);
    enter->setText(QStringLiteral("&Entrar"));
    enter->setEnabled(false);
    m_ui->buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("&Cancelar"));
    connect(m_ui->txtCode, &QLineEdit::textChanged, enter,
            [enter](const QString &code) { enter->setEnabled(!code.trimmed().isEmpty()); });
}

DeskJoinWindow::~DeskJoinWindow()
{
    delete m_ui;
}

QString DeskJoinWindow::code() const
{
    return m_ui->txtCode->text().trimmed();
}

QString DeskJoinWindow::desk() const
{
    return m_ui->txtDesk->text().trimmed();
}

DesksWindow::DesksWindow(OwnDesks &desks) : m_ui(new Ui::DesksWindow), m_desks(desks)
{
    m_ui->setupUi(this);
    placement::useLayoutFont(this);
    setAttribute(Qt::WA_DeleteOnClose);
    placement::centre(this);
    m_ui->lstDesks->setColumnWidth(0, 200);
    connect(m_ui->cmdDrop, &QPushButton::clicked, this, &DesksWindow::drop);
    connect(m_ui->cmdClose, &QPushButton::clicked, this, &QWidget::close);
    // The desk in use cannot be dropped from itself.
    connect(m_ui->lstDesks, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem *item) {
        m_ui->cmdDrop->setEnabled(item && !item->data(0, Qt::UserRole + 1).toBool());
    });
    connect(&m_desks, &OwnDesks::listed, this,
            [this](const QString &current, const QList<OwnDesks::Desk> &list) {
                m_ui->lstDesks->clear();
                if (current.isEmpty())
                    m_ui->lblExplain->setText(QStringLiteral(
                        "Tu apodo no está reservado en este servidor: no tiene equipos."));
                for (const OwnDesks::Desk &desk : list) {
                    const bool here = desk.name == current;
                    auto *item = new QTreeWidgetItem(m_ui->lstDesks);
                    item->setText(0, here ? desk.name + QStringLiteral(" (este equipo)") : desk.name);
                    item->setText(1, desk.used.toLocalTime().toString(QStringLiteral("dd/MM/yyyy HH:mm")));
                    item->setData(0, Qt::UserRole, desk.name);
                    item->setData(0, Qt::UserRole + 1, here);
                }
            });
}

DesksWindow::~DesksWindow()
{
    delete m_ui;
}

void DesksWindow::refresh()
{
    m_ui->lstDesks->clear();
    m_desks.askList();
}

void DesksWindow::drop()
{
    const QTreeWidgetItem *item = m_ui->lstDesks->currentItem();
    if (!item)
        return;
    const QString name = item->data(0, Qt::UserRole).toString();
    if (plain::ask(this, QStringLiteral("Quitar un equipo"),
                   QStringLiteral("¿Quitar el equipo «") + name
                       + QStringLiteral("»? Desde él ya no se podrá entrar con tu apodo."),
                   QStringLiteral("&Quitar"), QStringLiteral("&Cancelar")))
        m_desks.drop(name);
}
