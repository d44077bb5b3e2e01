// The interpreter's verbs, one small handler each, shared by the files of
// the interpreter (login, ports, directories) and its dispatcher.
#pragma once
#include <asio.hpp>

#include <string>

#include "core/gateway.h"

namespace korvane {

// The argument forms of the command lines: the text from a 1-based
// character on (two blanks appended first, then trimmed), and the upper-cased
// character at a 1-based place of the line with two blanks appended.
std::string ArgumentFrom(const std::string& line, size_t character);
char LetterAt(const std::string& line, size_t character);

// USER and PASS. FtpPass is false when the login was refused (the caller
// then treats the session as not logged in); under [FtpUsers] a refused
// login is answered by FtpPass itself, and it is true.
asio::awaitable<void> FtpUser(Gateway& g, int index, const std::string& line);
asio::awaitable<bool> FtpPass(Gateway& g, int index, const std::string& line);

// PORT and PASV.
asio::awaitable<void> FtpPort(Gateway& g, int index, const std::string& line);
asio::awaitable<void> FtpPasv(Gateway& g, int index);

// CWD, PWD and the root every path starts from.
asio::awaitable<void> FtpCwd(Gateway& g, int index, const std::string& line);
asio::awaitable<void> FtpPwd(Gateway& g, int index);
// The FTP root as every path is built on it: trimmed, the program folder
// when empty, without a trailing backslash.
std::string NormalisedFtpRoot(const std::string& export_dir, const std::string& app_path);

// TYPE: I or A; the type is remembered but never changes the bytes moved.
asio::awaitable<void> FtpType(Gateway& g, int index, const std::string& line);

// The not-understood reply.
asio::awaitable<void> NotUnderstood(Gateway& g, int index, const std::string& line);

}  // namespace korvane
