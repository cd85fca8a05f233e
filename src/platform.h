// The few operating-system services the program needs, the same on POSIX and on Windows.
#pragma once

#include <string>

// True when `path` names something that exists, a directory included. Asks for existence
// alone, no permission; on false, errno tells why.
bool path_exists(const std::string& path);

// True when `path` names a character device (a console, /dev/null, NUL), whose input is not
// ended by a 0x1A byte.
bool is_character_device(const std::string& path);

// True when `byte` opens a double-byte character in the active code page, so the byte after
// it is never a separator. Always false outside Windows.
bool is_lead_byte(char byte);

// Makes standard error pass bytes through unchanged, so the program writes its own line ends.
void use_binary_stderr();
