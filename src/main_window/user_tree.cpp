#include "main_window/user_tree.h"

#include "core/user_list.h"

#include <QIcon>
#include <QIdentityProxyModel>
#include <QMouseEvent>
#include <QTextDocument>

namespace {

// The list's pictures, by their numbers in the list (drawn with the silver mask transparent).
class Pictures : public QIdentityProxyModel {
public:
    explicit Pictures(QObject *parent) : QIdentityProxyModel(parent)
    {
        for (const char *name : {":/pictures/user.svg", ":/pictures/collapsed.svg",
                                 ":/pictures/expanded.svg", ":/pictures/away.svg",
                                 ":/pictures/busy.svg"})
            m_images.append(QIcon(QString::fromLatin1(name)).pixmap(16, 16));
    }

    QVariant data(const QModelIndex &index, int role) const override
    {
        // A tip would read markup in what a user wrote: it is shown as written.
        if (role == Qt::ToolTipRole) {
            const QString tip = QIdentityProxyModel::data(index, role).toString();
            return tip.isEmpty() ? QVariant() : Qt::convertFromPlainText(tip);
        }
        if (role != Qt::DecorationRole)
            return QIdentityProxyModel::data(index, role);
        QIcon icon;
        icon.addPixmap(m_images.value(index.data(UserList::ImageRole).toInt() - 1), QIcon::Normal);
        icon.addPixmap(m_images.value(index.data(UserList::SelectedImageRole).toInt() - 1),
                       QIcon::Selected);
        return icon;
    }

private:
    QList<QPixmap> m_images;
};

} // namespace

UserTree::UserTree(QWidget *parent) : QTreeView(parent)
{
    setHeaderHidden(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setRootIsDecorated(false);
    // The root folds and unfolds on a click of its own; Qt's double-click folding would fight it.
    setExpandsOnDoubleClick(false);
    setItemsExpandable(true);
    setUniformRowHeights(true);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
}

void UserTree::setList(UserList *list)
{
    m_list = list;
    auto *pictures = new Pictures(this);
    pictures->setSourceModel(list);
    setModel(pictures);
    // A new root is shown unfolded.
    connect(list, &QAbstractItemModel::rowsInserted, this, [this](const QModelIndex &parent) {
        if (!parent.isValid())
            expand(model()->index(0, 0));
    });
}

int UserTree::userCount() const
{
    return m_list->userCount();
}

QModelIndex UserTree::selectedNode() const
{
    const QModelIndexList nodes = selectionModel()->selectedIndexes();
    return nodes.isEmpty() ? QModelIndex()
                           : static_cast<QIdentityProxyModel *>(model())->mapToSource(nodes.first());
}

QString UserTree::selectedText() const
{
    return selectedNode().data().toString();
}

bool UserTree::isFirstNode(const QModelIndex &node) const
{
    return node.isValid() && node == m_list->root();
}

void UserTree::mousePressEvent(QMouseEvent *event)
{
    // A press on empty space would clear the selection; the click still counts.
    if (indexAt(event->position().toPoint()).isValid())
        QTreeView::mousePressEvent(event);
}

void UserTree::mouseReleaseEvent(QMouseEvent *event)
{
    QTreeView::mouseReleaseEvent(event);
    if (event->button() != Qt::LeftButton)
        return;
    if (m_releaseEndsDoubleClick) {
        m_releaseEndsDoubleClick = false;
        return;
    }
    Q_EMIT nodeClicked();
}

void UserTree::mouseDoubleClickEvent(QMouseEvent *event)
{
    QTreeView::mouseDoubleClickEvent(event);
    if (event->button() != Qt::LeftButton)
        return;
    m_releaseEndsDoubleClick = true;
    Q_EMIT nodeDoubleClicked();
}
