// The two block helpers the compiler may call. Built without the loop to
// library call rewrite, so they cannot turn into calls to themselves.
#include <stddef.h>

extern "C" __attribute__((used, optimize("no-tree-loop-distribute-patterns"))) void*
memset(void* block, int value, size_t count) {
    unsigned char* at = (unsigned char*)block;
    while (count--) *at++ = (unsigned char)value;
    return block;
}

extern "C" __attribute__((used, optimize("no-tree-loop-distribute-patterns"))) void*
memcpy(void* target, const void* source, size_t count) {
    unsigned char* to = (unsigned char*)target;
    const unsigned char* from = (const unsigned char*)source;
    while (count--) *to++ = *from++;
    return target;
}
