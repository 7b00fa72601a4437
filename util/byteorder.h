// On-disk integers, byte by byte: little-endian (data, index and resource
// files) and big-endian (memo files, index version and branch pointers).
// Every format module reads and writes its integers through these, never
// through a struct or a wider type.
#ifndef CATALOGR_BYTEORDER_H
#define CATALOGR_BYTEORDER_H

#include <cstdint>

inline uint16_t util_getLe16(const unsigned char *p)
{
    return (uint16_t)(p[0] | (unsigned)p[1] << 8);
}

inline uint32_t util_getLe32(const unsigned char *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

inline uint16_t util_getBe16(const unsigned char *p)
{
    return (uint16_t)((unsigned)p[0] << 8 | p[1]);
}

inline uint32_t util_getBe32(const unsigned char *p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | (uint32_t)p[3];
}

inline void util_putLe16(unsigned char *p, uint16_t v)
{
    p[0] = (unsigned char)(v & 0xFF);
    p[1] = (unsigned char)(v >> 8);
}

inline void util_putLe32(unsigned char *p, uint32_t v)
{
    p[0] = (unsigned char)(v & 0xFF);
    p[1] = (unsigned char)((v >> 8) & 0xFF);
    p[2] = (unsigned char)((v >> 16) & 0xFF);
    p[3] = (unsigned char)(v >> 24);
}

inline void util_putBe16(unsigned char *p, uint16_t v)
{
    p[0] = (unsigned char)(v >> 8);
    p[1] = (unsigned char)(v & 0xFF);
}

inline void util_putBe32(unsigned char *p, uint32_t v)
{
    p[0] = (unsigned char)(v >> 24);
    p[1] = (unsigned char)((v >> 16) & 0xFF);
    p[2] = (unsigned char)((v >> 8) & 0xFF);
    p[3] = (unsigned char)(v & 0xFF);
}

#endif
