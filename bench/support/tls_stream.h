#pragma once

#include <QtGlobal>

// One plain TLS 1.3 stream on loopback, raw bytes and nothing else, to set what a transfer
// through the server is measured against: the same cipher suites, the same bytes made and
// checked as RawTransfers makes and checks them, blocks of the same size. Each end is meant to
// be a process of its own; each prints what the other's figures need on its standard output.
//
// Listens on the address, prints "port N", takes one connection and reads `size` bytes,
// comparing them with fileBytes(seed); then prints "end NS ok|bad CIPHER" (CLOCK_MONOTONIC).
int tlsSink(const char *address, const char *suites, qint64 size, quint64 seed);
// Connects to the sink, prints "start NS" once the handshake is done, and writes the bytes.
int tlsSource(const char *address, int port, const char *suites, qint64 size, quint64 seed);
