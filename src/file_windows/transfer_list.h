#pragma once

#include <QScrollArea>

#include <functional>

class FileDesk;
class QVBoxLayout;
class TransferRow;

// The files of this run as rows, newest first: all of them, or those of one correspondent.
class TransferList : public QScrollArea {
    Q_OBJECT

public:
    explicit TransferList(QWidget *parent = nullptr);

    // Shows the files through the desk; `peer` names the correspondent whose files are shown
    // (none: everyone's).
    void setDesk(FileDesk &desk, std::function<QString()> peer = {});
    // Rows made for the files that now belong, gone for those that no longer do.
    void sync();
    int count() const;
    TransferRow *row(int index) const;

Q_SIGNALS:
    void countChanged(int rows);

private:
    FileDesk *m_desk = nullptr;
    std::function<QString()> m_peer;
    QVBoxLayout *m_rows;
};
