#include "aux_windows/help.h"

#include "layouts/panels.h"
#include "layouts/placement.h"
#include "layouts/plain_text.h"
#include "ui_help.h"

Help::Help() : m_ui(new Ui::Help)
{
    m_ui->setupUi(this);
    placement::useLayoutFont(this);
    setAttribute(Qt::WA_DeleteOnClose);
    setFixedSize(size());
    panels::setUp(m_ui->stat, {133});
    panels::setText(m_ui->stat, 1, QStringLiteral("Status : Activo"));
    placement::centre(this);
    connect(m_ui->lstError, &QListWidget::itemSelectionChanged, this, &Help::selectionChanged);
}

Help::~Help()
{
    delete m_ui;
}

QString Help::topicText(int position)
{
    switch (position) {
    case 0:
        return QStringLiteral("Error En Coneccion: \r\nesta es la ayuda...por escribirla.");
    case 1:
        return QStringLiteral("ayuda 2: \r\nayuda 2");
    case 6:
        return QStringLiteral("dravo: \r\n");
    default:
        return QStringLiteral(" \r\n");
    }
}

void Help::selectionChanged()
{
    const auto selected = m_ui->lstError->selectedItems();
    if (selected.isEmpty())
        return;
    const QListWidgetItem *item = selected.first();
    plain::setCaption(this, QStringLiteral("Help - ") + item->text());
    m_ui->txtINfo->setPlainText(topicText(m_ui->lstError->row(item)));
}
