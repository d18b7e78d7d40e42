/* The bytes of test datagram number `seq`: the sender and the phone compute the same ones, so the phone can
   check every byte it reads without being told what was sent. The (i >> 8) term keeps a datagram from
   repeating every 256 bytes, so a shifted or repeated block does not pass as correct. */
#ifndef VM_PATTERN_H
#define VM_PATTERN_H

static inline unsigned char pattern_byte(unsigned seq, unsigned i)
{
    return (unsigned char)(seq * 151u + i * 7u + (i >> 8) * 3u + 1u);
}

static inline void pattern_fill(unsigned char *buf, unsigned seq, unsigned len)
{
    for (unsigned i = 0; i < len; i++) buf[i] = pattern_byte(seq, i);
}

#endif
