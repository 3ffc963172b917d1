#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

// The people whose private lines the user refuses, one nickname an entry. The user types them
// into a box, which shows the list's text and is its view, or blocks them from the list of
// users; whoever changes the list, `changed` follows. The text is kept as the user typed it (a
// line being typed, empty lines); its entries are its non-empty lines, CR LF or LF apart.
class BlockList : public QObject {
    Q_OBJECT

public:
    explicit BlockList(QObject *parent = nullptr);

    QString text() const { return m_text; }
    void setText(const QString &text);
    QStringList entries() const { return m_entries; }

    // Blocked when an entry equals the nickname's entry exactly; nobody is blocked under an
    // empty nickname, whatever the text holds.
    bool contains(const QString &nickname) const;
    // The nickname as an entry on a line of its own at the end; an empty one is no entry.
    void add(const QString &nickname);
    // Every entry equal to the nickname's goes.
    void remove(const QString &nickname);
    void clear() { setText({}); }

    // The one reading of the box's text: its entries, in order.
    static QStringList parse(const QString &text);
    // The text of these entries: each on its line, ended by CR LF.
    static QString textOf(const QStringList &entries);
    // A nickname as its entry. Line breaks in it would split it into lines that block other
    // users, so each becomes U+FFFD.
    static QString entryOf(const QString &nickname);

    // A blocked user's node carries this mark behind the nickname.
    static inline const QString Mark = QStringLiteral(" (Ignored)");

Q_SIGNALS:
    void changed();

private:
    QString m_text;
    QStringList m_entries;
};
