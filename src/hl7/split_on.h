// The one tokenizer: cuts text at every occurrence of one delimiter character.
#pragma once

#include <string>
#include <vector>

// Appends to `tokens` the delimiter-terminated records of `text`, in order; strings already in
// `tokens` stay before them. Empty tokens keep their places, except that a delimiter at the very
// end yields no empty last token, and an empty text yields no token at all. `text` is not
// changed; bytes are compared as 8-bit values, NUL and 0x80-0xFF included.
void split_on(const std::string& text, char delimiter, std::vector<std::string>& tokens);

// The same tokens in a new list.
std::vector<std::string> split_on(const std::string& text, char delimiter);
