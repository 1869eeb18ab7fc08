// errno values and the Windows Sockets error numbers that stand for them, so that a socket error
// has the same number and text on every platform.
#pragma once

#include <cerrno>
#include <cstddef>

namespace ostrel::platform::posix {

struct ErrnoMapping {
    int errnoValue;
    int wsaNumber;
};

// The first row for a Windows Sockets number is the errno that systemMessage() describes it
// with. EPIPE stands for 10054: the driver never shuts down its own sending side, so a broken
// pipe means the peer dropped the connection, which Windows reports as a reset (Linux reports
// ECONNRESET for the first send after a reset and EPIPE for the following ones).
inline constexpr ErrnoMapping kErrnoMappings[] = {
    {EINTR, 10004},           {EBADF, 10009},           {EACCES, 10013},
    {EFAULT, 10014},          {EINVAL, 10022},          {EMFILE, 10024},
    {EWOULDBLOCK, 10035},     {EAGAIN, 10035},          {EINPROGRESS, 10036},
    {EALREADY, 10037},        {ENOTSOCK, 10038},        {EDESTADDRREQ, 10039},
    {EMSGSIZE, 10040},        {EPROTOTYPE, 10041},      {ENOPROTOOPT, 10042},
    {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},
    {ENOTSUP, 10045},         {EPFNOSUPPORT, 10046},    {EAFNOSUPPORT, 10047},
    {EADDRINUSE, 10048},      {EADDRNOTAVAIL, 10049},   {ENETDOWN, 10050},
    {ENETUNREACH, 10051},     {ENETRESET, 10052},       {ECONNABORTED, 10053},
    {ECONNRESET, 10054},      {EPIPE, 10054},           {ENOBUFS, 10055},
    {EISCONN, 10056},         {ENOTCONN, 10057},        {ESHUTDOWN, 10058},
    {ETOOMANYREFS, 10059},    {ETIMEDOUT, 10060},       {ECONNREFUSED, 10061},
    {ELOOP, 10062},           {ENAMETOOLONG, 10063},    {EHOSTDOWN, 10064},
    {EHOSTUNREACH, 10065},    {ENOTEMPTY, 10066},       {EUSERS, 10068},
    {EDQUOT, 10069},          {ESTALE, 10070},          {EREMOTE, 10071},
    {ECANCELED, 10103},
};

// The Windows Sockets number for an errno value, or the value itself when it has none.
inline int wsaFromErrno(int errnoValue) {
    for (const ErrnoMapping& row : kErrnoMappings) {
        if (row.errnoValue == errnoValue) {
            return row.wsaNumber;
        }
    }
    return errnoValue;
}

// The errno value a Windows Sockets number stands for, 0 when it has none.
inline int errnoFromWsa(int wsaNumber) {
    for (const ErrnoMapping& row : kErrnoMappings) {
        if (row.wsaNumber == wsaNumber) {
            return row.errnoValue;
        }
    }
    return 0;
}

}  // namespace ostrel::platform::posix
