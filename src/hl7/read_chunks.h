// Reading a stream block by block: the one read loop both programs share.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

// The size of one read.
constexpr std::size_t kReadBlockSize = 1 << 16;

// Reads `input` to its end in blocks of at most kReadBlockSize bytes and hands each block to
// `take`, in order; stops early when `take` returns false. Returns false when a read error
// stopped it (errno then tells why). `input` should be in binary mode.
bool read_chunks(std::FILE* input, const std::function<bool(std::string_view)>& take);

// Appends all of `input` to `bytes`; false on a read error, with what was read kept.
bool read_all(std::FILE* input, std::string& bytes);

// Appends the whole file at `path` to `bytes`; false when it cannot be opened or read, errno
// then telling why.
bool read_file(const std::string& path, std::string& bytes);
