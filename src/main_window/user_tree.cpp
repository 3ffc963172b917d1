#include "main_window/user_tree.h"

#include <QMouseEvent>

namespace {
const QString kRootKey = QStringLiteral("MAIN");
}

UserTree::UserTree(QWidget *parent) : QTreeWidget(parent)
{
    // The image list is drawn with its silver mask colour transparent.
    for (const char *name : {":/pictures/user.svg", ":/pictures/collapsed.svg",
                             ":/pictures/expanded.svg"})
        m_images.append(QIcon(QString::fromLatin1(name)).pixmap(16, 16));
    setHeaderHidden(true);
    setColumnCount(1);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setRootIsDecorated(false);
    // The root folds and unfolds on a click of its own; Qt's double-click folding would fight it.
    setExpandsOnDoubleClick(false);
    setItemsExpandable(true);
}

QTreeWidgetItem *UserTree::addRoot(const QString &nickname)
{
    auto *node = new QTreeWidgetItem(QStringList{QStringLiteral("Online - ") + nickname});
    node->setData(0, KeyRole, kRootKey);
    setImages(node, ExpandedImage, ExpandedImage);
    addTopLevelItem(node);
    topLevelItem(0)->setExpanded(true);
    return node;
}

QTreeWidgetItem *UserTree::root() const
{
    for (int i = 0; i < topLevelItemCount(); ++i) {
        QTreeWidgetItem *node = topLevelItem(i);
        if (node->data(0, KeyRole).toString() == kRootKey)
            return node;
    }
    return nullptr;
}

void UserTree::addUsers(const QStringList &nicknames)
{
    QTreeWidgetItem *parent = root();
    if (!parent || nicknames.isEmpty())
        return;
    QList<QTreeWidgetItem *> nodes;
    nodes.reserve(nicknames.size());
    for (const QString &nickname : nicknames) {
        auto *node = new QTreeWidgetItem(QStringList{nickname});
        node->setData(0, NicknameRole, nickname);
        setImages(node, UserImage, UserImage);
        nodes.append(node);
    }
    parent->addChildren(nodes);
}

void UserTree::removeUser(const QString &nickname)
{
    QTreeWidgetItem *parent = root();
    for (int i = 0; parent && i < parent->childCount(); ++i) {
        if (nicknameOf(parent->child(i)) == nickname) {
            delete parent->takeChild(i);
            return;
        }
    }
}

int UserTree::userCount() const
{
    const QTreeWidgetItem *parent = root();
    return parent ? parent->childCount() : 0;
}

QTreeWidgetItem *UserTree::selectedNode() const
{
    const auto nodes = selectedItems();
    return nodes.isEmpty() ? nullptr : nodes.first();
}

QString UserTree::selectedText() const
{
    const QTreeWidgetItem *node = selectedNode();
    return node ? node->text(0) : QString();
}

bool UserTree::isFirstNode(const QTreeWidgetItem *node) const
{
    return node && topLevelItemCount() > 0 && node == topLevelItem(0);
}

QString UserTree::nicknameOf(const QTreeWidgetItem *node)
{
    const QVariant nickname = node->data(0, NicknameRole);
    return nickname.isValid() ? nickname.toString() : node->text(0);
}

void UserTree::setImage(QTreeWidgetItem *node, int image) const
{
    setImages(node, image, node->data(0, SelectedImageRole).toInt());
}

void UserTree::setImages(QTreeWidgetItem *node, int image, int selectedImage) const
{
    node->setData(0, ImageRole, image);
    node->setData(0, SelectedImageRole, selectedImage);
    QIcon icon;
    icon.addPixmap(m_images.value(image - 1), QIcon::Normal);
    icon.addPixmap(m_images.value(selectedImage - 1), QIcon::Selected);
    node->setIcon(0, icon);
}

void UserTree::mousePressEvent(QMouseEvent *event)
{
    // A press on empty space would clear the selection; the click still counts.
    if (itemAt(event->position().toPoint()))
        QTreeWidget::mousePressEvent(event);
}

void UserTree::mouseReleaseEvent(QMouseEvent *event)
{
    QTreeWidget::mouseReleaseEvent(event);
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
    QTreeWidget::mouseDoubleClickEvent(event);
    if (event->button() != Qt::LeftButton)
        return;
    m_releaseEndsDoubleClick = true;
    Q_EMIT nodeDoubleClicked();
}
