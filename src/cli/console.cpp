#include "console.h"

#include <algorithm>
#include <charconv>
#include <iostream>

#include "engine/hex_text.h"
#include "engine/utf8.h"
#include "platform/terminal.h"

namespace tessaloom::cli {

namespace {

bool onTerminal(const std::ostream& out) {
    static const bool outputIsTerminal = standardOutputIsTerminal();
    static const bool errorIsTerminal = standardErrorIsTerminal();
    return (&out == &std::cout && outputIsTerminal) || (&out == &std::cerr && errorIsTerminal);
}

void writeRaw(std::ostream& out, std::string_view text) {
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

}  // namespace

void writeText(std::ostream& out, std::string_view text) {
    if (!onTerminal(out)) {
        writeRaw(out, text);
        return;
    }
    while (!text.empty()) {
        const std::size_t end = std::min(text.find_first_of("\n\t"), text.size());
        writeRaw(out, escapedText(text.substr(0, end)));
        const std::size_t kept = std::min<std::size_t>(end + 1, text.size());
        writeRaw(out, text.substr(end, kept - end));
        text.remove_prefix(kept);
    }
}

void writeLine(std::ostream& out, std::initializer_list<std::string_view> parts) {
    for (const std::string_view part : parts) {
        writeText(out, part);
    }
    out << std::endl;
}

void writeLine(std::ostream& out, std::string_view text) {
    writeLine(out, {text});
}

void writeRaw(std::string_view text) {
    std::cout.write(text.data(), static_cast<std::streamsize>(text.size()));
}

int failWith(std::string_view message, int status) {
    writeLine(std::cerr, {"ERROR: ", message});
    return status;
}

std::string failureText(const Failure& failure) {
    switch (failure.kind) {
        case Failure::Kind::kWrite:
            return "Cannot write " + failure.path + ": " + failure.reason;
        case Failure::Kind::kChanged:
            return failure.path + " " + failure.reason;
        case Failure::Kind::kStopped:
            return "Stopped; " + failure.path + " is as it was";
        case Failure::Kind::kRead:
        case Failure::Kind::kMemory:
        case Failure::Kind::kInvalid:
            break;
    }
    return "Cannot read " + failure.path + ": " + failure.reason;
}

std::string lowerHex(std::uint64_t value) {
    return hexNumber(value);
}

std::string fixedDecimals(double value, int decimals) {
    char digits[32];
    const auto end =
        std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, decimals)
            .ptr;
    return {digits, end};
}

}  // namespace tessaloom::cli
