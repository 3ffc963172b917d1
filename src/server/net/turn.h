#pragma once

#include <QObject>

#include <vector>

class Connection;

// The connections sent something during one turn of the event loop, each written once at its
// end: a log-in among thousands of users is then one write to each, not one per message.
class Turn : public QObject {
public:
    // Written at the end of this turn.
    void add(Connection *connection);
    // Gone before the end.
    void remove(Connection *connection);

private:
    void end();

    std::vector<Connection *> m_connections;
};
