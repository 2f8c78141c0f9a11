// Every parity the line takes, in each of the forms it meets: the letter of the
// settings text, the word of an error text, QSerialPort's setting and the bits
// the tty shows in c_cflag. One row each, so the forms cannot drift apart.
#pragma once

#include "serialdevice.h"

#include <QSerialPort>
#include <cstddef>
#include <iterator>
#include <termios.h>

namespace ondrel {

struct ParityForms
{
    Parity parity;
    char letter;      // in "9600,E,7,1"
    const char* name; // in "the device does not take even parity"
    QSerialPort::Parity port;
    tcflag_t cflag; // of PARENB, PARODD, CMSPAR
};

// In the order of Parity, so that a parity is also its row's index.
inline constexpr ParityForms kParities[] = {
    {Parity::None, 'N', "no", QSerialPort::NoParity, 0},
    {Parity::Even, 'E', "even", QSerialPort::EvenParity, PARENB},
    {Parity::Odd, 'O', "odd", QSerialPort::OddParity, PARENB | PARODD},
    {Parity::Mark, 'M', "mark", QSerialPort::MarkParity, PARENB | PARODD | CMSPAR},
    {Parity::Space, 'S', "space", QSerialPort::SpaceParity, PARENB | CMSPAR},
};

constexpr bool ParitiesInOrder()
{
    for (std::size_t i = 0; i < std::size(kParities); ++i)
        if (std::size_t(kParities[i].parity) != i)
            return false;
    return true;
}
static_assert(ParitiesInOrder());

constexpr const ParityForms& FormsOf(Parity parity)
{
    return kParities[std::size_t(parity)];
}

} // namespace ondrel
