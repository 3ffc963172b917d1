#include "file_windows/transfers_window.h"

#include "core/client.h"
#include "core/history_store.h"
#include "file_windows/file_desk.h"
#include "file_windows/transfer_list.h"
#include "layouts/placement.h"
#include "ui_transfers.h"

#include <QLocale>

TransfersWindow::TransfersWindow(FileDesk &desk) : m_ui(new Ui::TransfersWindow), m_desk(desk)
{
    m_ui->setupUi(this);
    placement::useLayoutFont(this);
    setFixedSize(size());
    placement::centre(this);
    connect(m_ui->lstTransfers, &TransferList::countChanged, m_ui->lblEmpty,
            [this](int rows) { m_ui->lblEmpty->setVisible(rows == 0); });
    m_ui->lstTransfers->setDesk(desk);
    m_ui->lblEmpty->setVisible(m_ui->lstTransfers->count() == 0);
}

TransfersWindow::~TransfersWindow()
{
    delete m_ui;
}

void TransfersWindow::showEvent(QShowEvent *event)
{
    listEarlier();
    QWidget::showEvent(event);
}

void TransfersWindow::listEarlier()
{
    // A file offered is a line of its conversation: "Archivo: NAME (SIZE)", from its sender.
    static const QString prefix = QStringLiteral("Archivo: ");
    m_ui->lstEarlier->clear();
    const QLocale spanish(QLocale::Spanish);
    for (const history::Hit &hit : m_desk.core().history().search(QStringLiteral("archivo"))) {
        if (hit.line.kind != history::Kind::Theirs || !hit.line.text.startsWith(prefix))
            continue;
        m_ui->lstEarlier->addItem(QStringLiteral("%1, de %2, %3")
                                      .arg(hit.line.text.mid(prefix.size()), hit.line.writer,
                                           spanish.toString(hit.line.at.toLocalTime(),
                                                            QStringLiteral("d/M/yyyy HH:mm"))));
    }
}
