#include "file_windows/transfers_window.h"

#include "file_windows/transfer_list.h"
#include "layouts/placement.h"
#include "ui_transfers.h"

TransfersWindow::TransfersWindow(FileDesk &desk) : m_ui(new Ui::TransfersWindow)
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
