#pragma once

// The helper side of a pipe to the process that started it: requests come
// on stdin, answers go to stdout. Both helper programs speak through it:
// velvora-fs-reader and velvora-media-probe ask for the bytes they read in
// the same way, with a Read message and a length-checked reply.

#include <cstddef>
#include <cstdint>
#include <string>

namespace helper_pipe {

// Reads exactly count bytes from the requests; false at their end.
bool take(void *buffer, size_t count);

void put_bytes(const void *data, size_t count);

template<typename T>
void put(T value)
{
    put_bytes(&value, sizeof value);
}

// A string as its 32-bit length and bytes, cut at longest bytes.
void put_string(const std::string &text, uint32_t longest);

// Sends the read tag with offset and count, and takes the reply: a 64-bit
// count (-1 when the bytes cannot be read) and that many bytes. The process
// ends when the other side has gone or answers with more than was asked.
int64_t ask_for_bytes(char read_tag, int64_t offset, void *buffer, int64_t count);

} // namespace helper_pipe
