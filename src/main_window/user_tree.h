#pragma once

#include <QList>
#include <QPixmap>
#include <QTreeView>

class UserList;

// The list of online users, a view of the client's UserList: the root node for the own user and
// one node per user the server announced, each with its picture.
//
// A click acts on the selected node, not on the point clicked: a click on empty space keeps the
// former selection. Each press-release is one click; a double-click is one click followed by
// one double-click.
class UserTree : public QTreeView {
    Q_OBJECT

public:
    explicit UserTree(QWidget *parent = nullptr);

    void setList(UserList *list);
    UserList *list() const { return m_list; }
    int userCount() const;

    // The selected node; invalid when nothing is selected.
    QModelIndex selectedNode() const;
    // The selected node's text, empty when nothing is selected.
    QString selectedText() const;
    bool isFirstNode(const QModelIndex &node) const;

Q_SIGNALS:
    void nodeClicked();
    void nodeDoubleClicked();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;

private:
    UserList *m_list = nullptr;
    bool m_releaseEndsDoubleClick = false;
};
