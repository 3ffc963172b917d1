#pragma once

#include <QWidget>

#include "core/transfers.h"

class FileDesk;
namespace Ui {
class TransferRow;
}

// One file of this run as the windows show it: its name, size and who sends it, a bar, its
// state, its pace while it moves, and the buttons its state takes: "Guardar" and "Rechazar" while
// it waits for the user, "Pausar" or "Reanudar" and "Cancelar" while it moves, "Abrir" and
// "Mostrar en la carpeta" once saved. A picture shows its thumbnail.
class TransferRow : public QWidget {
    Q_OBJECT

public:
    TransferRow(FileDesk &desk, const QString &id, Transfers::Direction direction,
                QWidget *parent = nullptr);
    ~TransferRow() override;

    QString id() const { return m_id; }
    Transfers::Direction direction() const { return m_direction; }
    // Shows the file as it is now.
    void refresh();

private:
    const Transfers::Row *row() const;
    void showPicture(const Transfers::Row &row);

    Ui::TransferRow *const m_ui;
    FileDesk &m_desk;
    const QString m_id;
    const Transfers::Direction m_direction;
    bool m_pictured = false;
};
