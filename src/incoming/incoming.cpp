#include "incoming/incoming.h"

#include "program.h"
#include "protocol/client_socket.h"
#include "protocol/login.h"

Incoming::Incoming(Program &program, QObject *parent) : QObject(parent), m_program(program) {}

void Incoming::dataArrival()
{
    m_program.login()->WS().getData();
}
