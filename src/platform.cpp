// Platform services: every difference between the Windows and the POSIX build lives here.
#include "platform.h"

#include <sys/stat.h>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

bool path_exists(const std::string& path) { return _access(path.c_str(), 0) == 0; }

bool is_character_device(const std::string& path) {
  struct _stat64 status;
  return _stat64(path.c_str(), &status) == 0 && (status.st_mode & _S_IFCHR) != 0;
}

bool is_lead_byte(char byte) { return IsDBCSLeadByte(static_cast<BYTE>(byte)) != 0; }

void use_binary_stderr() { _setmode(_fileno(stderr), _O_BINARY); }

#else
#include <unistd.h>

bool path_exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

bool is_character_device(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISCHR(status.st_mode);
}

bool is_lead_byte(char) { return false; }

// POSIX streams never translate line ends.
void use_binary_stderr() {}

#endif
