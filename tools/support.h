// Helpers shared by the tools (ttysim, wire_reader), the tests and the
// benchmarks: a tool's failure and usage exits and its numbers, whole files,
// and a pseudo-terminal's queue filled to the brim.
#ifndef MARQUELL_TOOLS_SUPPORT_H
#define MARQUELL_TOOLS_SUPPORT_H

#include <string>

// Exit status of a tool that failed itself, not the command it runs.
constexpr int kToolFailure = 125;

// The tool's name and usage text, for Fail and Usage; set first thing.
void SetToolNames(const char* name, const char* usage);

// "NAME: what: <the system's reason>" on stderr, then exit kToolFailure.
[[noreturn]] void Fail(const std::string& what);

// "NAME: what", a blank line and the usage text on stderr, then exit 2.
[[noreturn]] void Usage(const std::string& what);

// text as a whole decimal number of at least min; Usage otherwise.
long ParseNumber(const std::string& text, const std::string& what, long min);

// The whole file; empty when it cannot be read.
std::string ReadFile(const std::string& path);

// False when the file cannot be written whole.
bool WriteFile(const std::string& path, const std::string& bytes);

// WriteFile, or Fail when the file cannot be written whole.
void WriteOrFail(const std::string& path, const std::string& bytes);

// Writes fill bytes to fd, made non-blocking, until its queue refuses them,
// and again after a pseudo-terminal has had time to move bytes on towards its
// master, until a pass takes nothing. How many went in; -1 when a write
// failed for another reason than a full queue.
long FillQueue(int fd, char fill);

#endif
