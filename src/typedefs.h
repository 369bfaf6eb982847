// Width aliases shared by every module. Bytes for the display are ubyte.
#ifndef MARQUELL_TYPEDEFS_H
#define MARQUELL_TYPEDEFS_H

#include <cstdint>

typedef uint8_t ubyte;
typedef int8_t sbyte;
typedef uint16_t word;
typedef uint32_t dword;

#endif
