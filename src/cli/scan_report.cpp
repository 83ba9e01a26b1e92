#include "scan_report.h"

#include "console.h"
#include "json.h"

namespace tessaloom::cli {

namespace {

std::string jsonPath(const std::vector<ScanStep>& path) {
    std::string text = "[";
    for (const ScanStep& step : path) {
        text += text.size() == 1 ? "{" : ", {";
        text +=
            "\"offset\": " + jsonCount(step.offset) + ", \"format\": " + jsonString(step.format);
        if (!step.member.empty()) {
            text += ", \"member\": " + jsonString(step.member);
        }
        text += "}";
    }
    return text + "]";
}

}  // namespace

std::string scanHitJson(const ScanHit& hit) {
    std::string line = "{\"offset\": " + jsonCount(hit.offset) +
                       ", \"size\": " + jsonCount(hit.size) +
                       ", \"size_exact\": " + (hit.sizeExact ? "true" : "false") +
                       ", \"format\": " + jsonString(hit.format) +
                       ", \"description\": " + jsonString(hit.description) +
                       ", \"path\": " + jsonPath(hit.path) + ", \"fields\": {";
    bool first = true;
    for (const ScanField& field : hit.fields) {
        line += first ? "" : ", ";
        first = false;
        line += jsonString(field.name) + ": ";
        line += field.number ? jsonCount(*field.number) : jsonString(field.text);
    }
    line += "}}";
    return line;
}

std::string paddedHex(std::uint64_t value) {
    std::string digits = lowerHex(value);
    if (digits.size() < 8) {
        digits.insert(0, 8 - digits.size(), '0');
    }
    return "0x" + digits;
}

std::string scanPathText(const std::vector<ScanStep>& path) {
    std::string text;
    for (const ScanStep& step : path) {
        text += text.empty() ? "" : " > ";
        text += paddedHex(step.offset) + " " + step.format;
        if (!step.member.empty()) {
            text += " \"" + step.member + "\"";
        }
    }
    return text;
}

std::string scanWarningLine(const ScanWarning& warning) {
    return "Warning: --deep stopped at " + warning.limit + " in " + scanPathText(warning.where);
}

}  // namespace tessaloom::cli
