// Small helpers for the report lines the front end writes.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <ostream>
#include <string>
#include <string_view>

#include "engine/failure.h"

namespace tessaloom::cli {

// Writes text to standard output or standard error as it is into a pipe or a file, so that
// scripts get the bytes of names unchanged; on a terminal, as ls does, with every control
// character but line ends and tabs, and every byte that is not UTF-8, escaped as \xNN, so that no
// file name or content can send the terminal a sequence.
void writeText(std::ostream& out, std::string_view text);

// Writes text to standard output as it is, for reports whose every byte is already safe on a
// terminal (a hex dump, the offsets before a string's escaped text).
void writeRaw(std::string_view text);

// Writes text, a newline and a flush: every report line ends this way.
void writeLine(std::ostream& out, std::string_view text);

// The same for a line given in parts, written one after the other, so that a long text (a string
// run of many megabytes) goes out without being copied into a line first.
void writeLine(std::ostream& out, std::initializer_list<std::string_view> parts);

// The sentence that says why an operation failed, as every message of the program words it:
// "Cannot read FILE: reason", "Cannot write FILE: reason", "FILE changed on disk since it was
// opened", "Stopped; FILE is as it was".
std::string failureText(const Failure& failure);

// Writes the run's one error line, "ERROR: " and message, to standard error; returns the status
// the run ends with (2 unless told otherwise). Every error of every command is written here.
int failWith(std::string_view message, int status = 2);

// Lower-case hexadecimal with no prefix, width or fill: 0 is "0", 171 is "ab".
std::string lowerHex(std::uint64_t value);

// A number with a fixed count of decimals and a point, whatever the locale: 3.142 for pi and 3.
std::string fixedDecimals(double value, int decimals);

}  // namespace tessaloom::cli
