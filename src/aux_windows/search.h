#pragma once

#include <QWidget>

#include <optional>

#include "core/history_store.h"

namespace Ui {
class Search;
}

// Searches the kept conversations, all of them or one, for lines holding every word typed (as
// word beginnings, whatever the case and accents). Choosing a result opens its conversation at
// that line. Closing the window destroys it.
class Search : public QWidget {
    Q_OBJECT

public:
    Search(HistoryStore &store, std::optional<history::Conversation> within);
    ~Search() override;

Q_SIGNALS:
    void chosen(const history::Hit &hit);

private:
    void search();

    Ui::Search *const m_ui;
    HistoryStore &m_store;
    std::optional<history::Conversation> m_within;
    QList<history::Hit> m_hits;
};
