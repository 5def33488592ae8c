#pragma once

// termios2 access for rates without a Bxxx constant. Kept apart because the
// kernel's termios2 header cannot be included next to <termios.h>; only
// plain integer types cross this border.
struct SKernelLine
{
    unsigned nIflag = 0;
    unsigned nOflag = 0;
    unsigned nCflag = 0; // without speed bits
    unsigned nLflag = 0;
    unsigned char cc[19] = {};
    unsigned nBaud = 0;
};

// TCSETS2 with BOTHER and nBaud both ways.
bool SetKernelLine(int hDevice, const SKernelLine& line);
// TCGETS2: flags as the driver keeps them and the output rate in baud.
bool GetKernelLine(int hDevice, SKernelLine* pLine);
