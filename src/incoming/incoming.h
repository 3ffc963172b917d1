#pragma once

#include <QObject>

class Program;

// Everything the server sends arrives here: one handler per data-arrival event.
class Incoming : public QObject {
    Q_OBJECT

public:
    Incoming(Program &program, QObject *parent);

    void dataArrival();

private:
    Program &m_program;
};
