#pragma once

#include <QAbstractItemModel>
#include <QHash>
#include <QString>
#include <QStringList>

#include <memory>
#include <utility>
#include <vector>

// Who is online: one root node (key "MAIN") for the own user and one child per user the server
// announced, in the order announced. Duplicates and empty nicknames are listed as they come.
// A user's node keeps the nickname apart from its text, which carries the marks of a block: a
// nickname may itself end in words that look like a mark.
//
// A nickname is found in constant time, however many users are listed.
class UserList : public QAbstractItemModel {
    Q_OBJECT

public:
    enum Role {
        KeyRole = Qt::UserRole,
        ImageRole,
        SelectedImageRole,
        NicknameRole,
        // Availability::State, and the text the user gave with it.
        StateRole,
        StateTextRole,
    };
    // The pictures of the list, numbered as its image list.
    static constexpr int UserImage = 1;
    static constexpr int ExpandedImage = 2;
    static constexpr int CollapsedImage = 3;
    static constexpr int AwayImage = 4;
    static constexpr int BusyImage = 5;

    explicit UserList(QObject *parent = nullptr);
    ~UserList() override;

    void clear();
    void addRoot(const QString &nickname);
    QModelIndex root() const;
    // Appends users under the root; without a root nothing is added.
    void addUsers(const QStringList &nicknames);
    // Takes the first node of this user away, marked or not.
    void removeUser(const QString &nickname);
    int userCount() const;

    // The nickname a node stands for (the root's: its text).
    QString nicknameOf(const QModelIndex &index) const;
    // Whether a user's node shows marks of a block.
    bool isMarked(const QModelIndex &index) const;
    // One more mark behind the nickname; or none.
    void mark(const QModelIndex &index);
    void unmark(const QModelIndex &index);
    void setImage(const QModelIndex &index, int image);
    // What the server says of a user's state, on every node of that nickname; the first node's.
    void setState(const QString &nickname, int state, const QString &text);
    std::pair<int, QString> stateOf(const QString &nickname) const;

    QModelIndex index(int row, int column, const QModelIndex &parent = {}) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

private:
    struct Node {
        QString nickname;
        int marks = 0;
        int row = 0;
        int state = 0;
        QString stateText;
    };

    Node *nodeOf(const QModelIndex &index) const;
    QString textOf(const Node &node) const;

    bool m_hasRoot = false;
    QString m_rootText;
    int m_rootImage = ExpandedImage;
    int m_rootSelectedImage = ExpandedImage;
    std::vector<std::unique_ptr<Node>> m_users;
    // Each nickname's nodes, first listed first.
    QHash<QString, QList<Node *>> m_byNickname;
};
