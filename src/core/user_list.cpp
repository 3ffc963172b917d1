#include "core/user_list.h"

#include "core/availability.h"
#include "core/block_list.h"

namespace {
const QString kRootKey = QStringLiteral("MAIN");
// The root's internal id; a user's is its node.
constexpr quintptr kRootId = 0;
} // namespace

UserList::UserList(QObject *parent) : QAbstractItemModel(parent) {}

UserList::~UserList() = default;

void UserList::clear()
{
    beginResetModel();
    m_users.clear();
    m_byNickname.clear();
    m_hasRoot = false;
    endResetModel();
}

void UserList::addRoot(const QString &nickname)
{
    // One root only: a second would stand beside the first and hold nobody.
    if (m_hasRoot)
        return;
    beginInsertRows({}, 0, 0);
    m_hasRoot = true;
    m_rootText = QStringLiteral("Online - ") + nickname;
    m_rootImage = m_rootSelectedImage = ExpandedImage;
    endInsertRows();
}

QModelIndex UserList::root() const
{
    return m_hasRoot ? createIndex(0, 0, kRootId) : QModelIndex();
}

void UserList::addUsers(const QStringList &nicknames)
{
    if (!m_hasRoot || nicknames.isEmpty())
        return;
    const int first = int(m_users.size());
    beginInsertRows(root(), first, first + int(nicknames.size()) - 1);
    m_users.reserve(m_users.size() + std::size_t(nicknames.size()));
    for (const QString &nickname : nicknames) {
        auto node = std::make_unique<Node>(Node{nickname, 0, int(m_users.size()), Availability::Available, {}});
        m_byNickname[nickname].append(node.get());
        m_users.push_back(std::move(node));
    }
    endInsertRows();
}

void UserList::removeUser(const QString &nickname)
{
    const auto found = m_byNickname.find(nickname);
    if (found == m_byNickname.end())
        return;
    const int row = found->takeFirst()->row;
    if (found->isEmpty())
        m_byNickname.erase(found);
    beginRemoveRows(root(), row, row);
    m_users.erase(m_users.begin() + row);
    for (std::size_t i = std::size_t(row); i < m_users.size(); ++i)
        m_users[i]->row = int(i);
    endRemoveRows();
}

int UserList::userCount() const
{
    return int(m_users.size());
}

UserList::Node *UserList::nodeOf(const QModelIndex &index) const
{
    return index.isValid() && index.internalId() != kRootId
        ? reinterpret_cast<Node *>(index.internalPointer())
        : nullptr;
}

QString UserList::textOf(const Node &node) const
{
    return node.nickname + BlockList::Mark.repeated(node.marks);
}

QString UserList::nicknameOf(const QModelIndex &index) const
{
    if (const Node *node = nodeOf(index))
        return node->nickname;
    return index.isValid() ? m_rootText : QString();
}

bool UserList::isMarked(const QModelIndex &index) const
{
    const Node *node = nodeOf(index);
    return node && node->marks > 0;
}

void UserList::mark(const QModelIndex &index)
{
    if (Node *node = nodeOf(index)) {
        ++node->marks;
        Q_EMIT dataChanged(index, index);
    }
}

void UserList::unmark(const QModelIndex &index)
{
    if (Node *node = nodeOf(index); node && node->marks > 0) {
        node->marks = 0;
        Q_EMIT dataChanged(index, index);
    }
}

void UserList::setImage(const QModelIndex &index, int image)
{
    if (index == root()) {
        m_rootImage = image;
        Q_EMIT dataChanged(index, index);
    }
}

void UserList::setState(const QString &nickname, int state, const QString &text)
{
    for (Node *node : m_byNickname.value(nickname)) {
        node->state = state;
        node->stateText = text;
        const QModelIndex changed = createIndex(node->row, 0, node);
        Q_EMIT dataChanged(changed, changed);
    }
}

std::pair<int, QString> UserList::stateOf(const QString &nickname) const
{
    const QList<Node *> nodes = m_byNickname.value(nickname);
    if (nodes.isEmpty())
        return {Availability::Available, {}};
    return {nodes.first()->state, nodes.first()->stateText};
}

QModelIndex UserList::index(int row, int column, const QModelIndex &parent) const
{
    if (column != 0 || row < 0)
        return {};
    if (!parent.isValid())
        return row == 0 && m_hasRoot ? root() : QModelIndex();
    if (parent.internalId() != kRootId || row >= int(m_users.size()))
        return {};
    return createIndex(row, 0, m_users[std::size_t(row)].get());
}

QModelIndex UserList::parent(const QModelIndex &child) const
{
    return nodeOf(child) ? root() : QModelIndex();
}

int UserList::rowCount(const QModelIndex &parent) const
{
    if (!parent.isValid())
        return m_hasRoot ? 1 : 0;
    return parent.internalId() == kRootId ? int(m_users.size()) : 0;
}

int UserList::columnCount(const QModelIndex &) const
{
    return 1;
}

QVariant UserList::data(const QModelIndex &index, int role) const
{
    if (!index.isValid())
        return {};
    const Node *node = nodeOf(index);
    switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
        return node ? textOf(*node) : m_rootText;
    case KeyRole:
        return node ? QVariant() : kRootKey;
    case ImageRole:
    case SelectedImageRole:
        if (!node)
            return role == ImageRole ? m_rootImage : m_rootSelectedImage;
        return node->state == Availability::Away ? AwayImage
            : node->state == Availability::Busy  ? BusyImage
                                                 : UserImage;
    case Qt::ToolTipRole: {
        // Plain text, as the user wrote it: a view that shows it as a tip keeps it literal.
        const QString tip = node ? Availability::describe(Availability::State(node->state),
                                                          node->stateText)
                                 : QString();
        return tip.isEmpty() ? QVariant() : tip;
    }
    case StateRole:
        return node ? QVariant(node->state) : QVariant();
    case StateTextRole:
        return node ? node->stateText : QVariant();
    case NicknameRole:
        return node ? node->nickname : QVariant();
    default:
        return {};
    }
}
