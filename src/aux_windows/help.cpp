#include "aux_windows/help.h"

#include "layouts/panels.h"
#include "layouts/placement.h"
#include "layouts/plain_text.h"
#include "ui_help.h"

Help::Help() : ui(new Ui::Help)
{
    ui->setupUi(this);
    placement::useLayoutFont(this);
    setAttribute(Qt::WA_DeleteOnClose);
    setFixedSize(size());
    panels::setUp(ui->stat, {133});
    panels::setText(ui->stat, 1, QStringLiteral("Status : Activo"));
    placement::centre(this);
    connect(ui->lstError, &QListWidget::itemSelectionChanged, this, &Help::selectionChanged);
}

Help::~Help()
{
    delete ui;
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
    const auto selected = ui->lstError->selectedItems();
    if (selected.isEmpty())
        return;
    const QListWidgetItem *item = selected.first();
    plain::setCaption(this, QStringLiteral("Help - ") + item->text());
    ui->txtINfo->setPlainText(topicText(ui->lstError->row(item)));
}
