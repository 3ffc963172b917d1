#pragma once

#include "program.h"
#include "support/fake_server.h"

#include <QObject>

// Every test function gets a fresh client and a fake server on the test program's own address.
class ClientTest : public QObject {
    Q_OBJECT

public:
    explicit ClientTest(const QString &address) : m_address(address) {}

protected:
    FakeServer *server = nullptr;
    Program *program = nullptr;
    Mess *mess = nullptr;

private Q_SLOTS:
    void init()
    {
        server = new FakeServer(m_address);
        program = new Program;
        mess = program->mess();
        prepare();
    }

    void cleanup()
    {
        delete program;
        delete server;
    }

private:
    // What every test of a program starts from, beyond a fresh client.
    virtual void prepare() {}

    QString m_address;
};
