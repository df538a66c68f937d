// Buffer sizes that the front end and the services share, so that no
// service includes another for a number.
#ifndef KELVANE_SIZES_H
#define KELVANE_SIZES_H

#include <stddef.h>

constexpr size_t kLineSize = 128;      // one line slot or path, terminator included
constexpr size_t kScratchSize = 132;   // scratch copy of a process argument
constexpr size_t kTransferSize = 4096; // one read or write of a whole-file copy

#endif
