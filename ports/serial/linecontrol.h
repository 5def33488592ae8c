#pragma once

#include "stream/comportoption.h"

#include <QtGlobal>

class CCommPort;

// A com port option command (SET-BAUDRATE, SET-DATASIZE, SET-PARITY,
// SET-STOPSIZE, SET-CONTROL, PURGE-DATA, or the NOTIFY-MODEMSTATE poll)
// applied to a serial line: the answer, carrying the value in force
// afterwards (a query: the current one). A value the line refuses, or one
// outside the protocol, leaves the line as it was and is answered with the
// value in force. *pbChanged: the line changed.
//
// pLine null (the other port is not a serial line, or not open): a setting
// is answered with the value asked for, as though taken, so that standard
// clients open the port; a query with a serial line's usual state (9600
// baud, 8 data bits, no parity, 1 stop bit, no flow control, DTR and RTS
// on, no break), the modem state with CTS, DSR and DCD on.
SComPortMessage ApplyComPortMessage(CCommPort* pLine, const SComPortMessage& request, bool* pbChanged);

// NOTIFY-MODEMSTATE bits of modem lines (TIOCM bits; -1: a device without
// modem lines, which counts as CTS, DSR and DCD on) and of their change
// from nBefore (RI: its trailing edge).
uchar ModemStateBits(int nLines);
uchar ModemChangeBits(int nBefore, int nNow);
// NOTIFY-LINESTATE bits of the CE_ error bits.
uchar LineStateBits(quint32 nErrors);
