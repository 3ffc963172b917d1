#include "core/history_model.h"

#include <algorithm>

namespace {
const QString kSeparator = QStringLiteral("<Fin de los mensajes anteriores>");
} // namespace

HistoryModel::HistoryModel(QObject *parent) : QAbstractListModel(parent) {}

void HistoryModel::setSource(Source source)
{
    m_source = std::move(source);
}

void HistoryModel::setStore(HistoryStore &store,
                            std::function<history::Conversation()> conversation)
{
    m_source = [&store, conversation](qint64 id, bool older, int count) {
        return older ? store.before(conversation(), id, count)
                     : store.after(conversation(), id, count);
    };
    m_clear = [&store, conversation] { store.clear(conversation()); };
}

void HistoryModel::clearStored()
{
    if (m_clear) {
        m_clear();
        clear();
    }
}

HistoryModel::Row HistoryModel::rowOf(const history::Line &line, bool earlier)
{
    Row row{line, earlier};
    // Marks on lines received only record what the user's client told.
    if (line.kind != history::Kind::Mine || line.ref.isEmpty())
        row.line.mark = history::Mark::None;
    return row;
}

void HistoryModel::reset(const std::function<void()> &fill)
{
    beginResetModel();
    m_rows.clear();
    m_newestId = 0;
    m_olderLeft = true;
    m_atNewest = true;
    if (m_source)
        fill();
    endResetModel();
}

void HistoryModel::append(const history::Line &line)
{
    if (!m_atNewest && line.kind == history::Kind::Mine && m_source) {
        reset([this] {
            for (const history::Line &newest : m_source(HistoryStore::Newest, true, Page)) {
                m_rows.push_back(rowOf(newest, newest.id < m_earlierBelow));
                m_newestId = std::max(m_newestId, newest.id);
            }
        });
    }
    if (!m_atNewest || (line.id != 0 && line.id <= m_newestId))
        return;
    m_newestId = std::max(m_newestId, line.id);
    const int row = int(m_rows.size());
    beginInsertRows({}, row, row);
    m_rows.push_back(rowOf(line, false));
    endInsertRows();
    trim(m_following);
}

void HistoryModel::clear()
{
    reset([] {});
}

void HistoryModel::showEarlier(qint64 id)
{
    reset([this, id] {
        const QList<history::Line> lines = m_source(id, true, Page / 4);
        for (const history::Line &line : lines) {
            m_rows.push_back(rowOf(line, true));
            m_newestId = std::max(m_newestId, line.id);
        }
        m_earlierBelow = m_newestId + 1;
        if (!lines.isEmpty())
            m_rows.push_back({{0, {}, history::Kind::Notice, QString(), kSeparator}, true});
        m_olderLeft = lines.size() == Page / 4;
    });
}

int HistoryModel::showAround(qint64 id)
{
    int hit = -1;
    reset([this, id, &hit] {
        const QList<history::Line> older = m_source(id + 1, true, Page / 2);
        const QList<history::Line> newer = m_source(id, false, Page / 2);
        for (const QList<history::Line> *part : {&older, &newer}) {
            for (const history::Line &line : *part) {
                if (line.id == id)
                    hit = int(m_rows.size());
                m_rows.push_back(rowOf(line, line.id < m_earlierBelow));
                m_newestId = std::max(m_newestId, line.id);
            }
        }
        m_atNewest = newer.size() < Page / 2;
    });
    return hit;
}

void HistoryModel::setMark(const QString &ref, history::Mark mark)
{
    for (std::size_t i = 0; i < m_rows.size(); ++i) {
        history::Line &line = m_rows[i].line;
        if (line.ref != ref || line.mark == history::Mark::None)
            continue;
        line.mark = mark;
        Q_EMIT dataChanged(index(int(i)), index(int(i)), {MarkRole});
        return;
    }
}

void HistoryModel::setFollowing(bool following)
{
    m_following = following;
}

void HistoryModel::trim(bool following)
{
    // While the reader follows the newest lines the oldest go in batches; a reader who scrolled
    // back keeps more, but not without end.
    const std::size_t held = following ? Limit + Limit / 2 : 3 * Limit;
    if (m_rows.size() <= held)
        return;
    beginRemoveRows({}, 0, int(m_rows.size()) - Limit - 1);
    m_rows.erase(m_rows.begin(), m_rows.end() - Limit);
    endRemoveRows();
    m_olderLeft = true;
}

bool HistoryModel::canFetchMore(const QModelIndex &parent) const
{
    return !parent.isValid() && m_source && m_olderLeft
        && std::any_of(m_rows.begin(), m_rows.end(),
                       [](const Row &row) { return row.line.id > 0; });
}

void HistoryModel::fetchMore(const QModelIndex &parent)
{
    if (!canFetchMore(parent))
        return;
    const auto oldest = std::find_if(m_rows.begin(), m_rows.end(),
                                     [](const Row &row) { return row.line.id > 0; });
    const QList<history::Line> lines = m_source(oldest->line.id, true, Page);
    m_olderLeft = lines.size() == Page;
    if (lines.isEmpty())
        return;
    beginInsertRows({}, 0, int(lines.size()) - 1);
    // Older than what is held: from before this window, or fallen out of it.
    for (auto line = lines.rbegin(); line != lines.rend(); ++line)
        m_rows.push_front(rowOf(*line, line->id < m_earlierBelow));
    endInsertRows();
    // Too much held: the newest go, and come back when the reader scrolls down again.
    if (m_rows.size() <= 3 * Limit)
        return;
    beginRemoveRows({}, 2 * Limit, int(m_rows.size()) - 1);
    m_rows.resize(2 * Limit);
    endRemoveRows();
    m_atNewest = false;
    const auto newest = std::find_if(m_rows.rbegin(), m_rows.rend(),
                                     [](const Row &row) { return row.line.id > 0; });
    m_newestId = newest == m_rows.rend() ? 0 : newest->line.id;
}

bool HistoryModel::canFetchNewer() const
{
    return m_source && !m_atNewest;
}

void HistoryModel::fetchNewer()
{
    if (!canFetchNewer())
        return;
    const QList<history::Line> lines = m_source(m_newestId, false, Page);
    m_atNewest = lines.size() < Page;
    if (!lines.isEmpty()) {
        const int first = int(m_rows.size());
        beginInsertRows({}, first, first + int(lines.size()) - 1);
        for (const history::Line &line : lines) {
            m_rows.push_back(rowOf(line, line.id < m_earlierBelow));
            m_newestId = std::max(m_newestId, line.id);
        }
        endInsertRows();
    }
    trim(false);
}

int HistoryModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

QVariant HistoryModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const Row &row = m_rows[std::size_t(index.row())];
    switch (role) {
    case Qt::DisplayRole:
        return row.line.text;
    case WriterRole:
        return row.line.writer;
    case KindRole:
        return int(row.line.kind);
    case EarlierRole:
        return row.earlier;
    case MarkRole:
        return int(row.line.mark);
    case IdRole:
        return row.line.id;
    default:
        return {};
    }
}

QHash<int, QByteArray> HistoryModel::roleNames() const
{
    return {{Qt::DisplayRole, "text"}, {WriterRole, "writer"}, {KindRole, "kind"},
            {EarlierRole, "earlier"}, {MarkRole, "mark"}, {IdRole, "lineId"}};
}
