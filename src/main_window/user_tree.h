#pragma once

#include <QIcon>
#include <QList>
#include <QTreeWidget>

// The list of online users: one root node (key "MAIN") for the own user and one keyless child
// per user the server announced. A user's node keeps the nickname apart from its text, which
// shows the marks of a block: a nickname may itself end in words that look like a mark.
//
// A click acts on the selected node, not on the point clicked: a click on empty space keeps the
// former selection. Each press-release is one click; a double-click is one click followed by
// one double-click.
class UserTree : public QTreeWidget {
    Q_OBJECT

public:
    static constexpr int KeyRole = Qt::UserRole;
    static constexpr int ImageRole = Qt::UserRole + 1;
    static constexpr int SelectedImageRole = Qt::UserRole + 2;
    static constexpr int NicknameRole = Qt::UserRole + 3;
    static constexpr int UserImage = 1;
    static constexpr int ExpandedImage = 2;
    static constexpr int CollapsedImage = 3;

    explicit UserTree(QWidget *parent = nullptr);

    QTreeWidgetItem *addRoot(const QString &nickname);
    QTreeWidgetItem *root() const;
    // Appends users under the root; without a root nothing is added.
    void addUsers(const QStringList &nicknames);
    // Takes the first node of this user away, marked or not.
    void removeUser(const QString &nickname);
    int userCount() const;

    QTreeWidgetItem *selectedNode() const;
    // The selected node's text, empty when nothing is selected.
    QString selectedText() const;
    bool isFirstNode(const QTreeWidgetItem *node) const;
    // The nickname a user's node stands for (the root's: its text).
    static QString nicknameOf(const QTreeWidgetItem *node);
    // Whether a user's node shows marks of a block.
    static bool isMarked(const QTreeWidgetItem *node) { return node->text(0) != nicknameOf(node); }

    void setImage(QTreeWidgetItem *node, int image) const;
    static int image(const QTreeWidgetItem *node) { return node->data(0, ImageRole).toInt(); }

Q_SIGNALS:
    void nodeClicked();
    void nodeDoubleClicked();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;

private:
    void setImages(QTreeWidgetItem *node, int image, int selectedImage) const;

    QList<QPixmap> m_images; // IL, numbered from 1
    bool m_releaseEndsDoubleClick = false;
};
