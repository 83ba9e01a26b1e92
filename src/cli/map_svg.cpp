#include "map_svg.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

#include "console.h"
#include "engine/utf8.h"

namespace tessaloom::cli {

namespace {

constexpr double kWidth = 1200;
constexpr double kHeight = 640;
constexpr double kLeft = 90;
constexpr double kRight = 960;
constexpr double kTop = 70;
constexpr double kBottom = 570;
constexpr double kMaxEntropy = 8;
constexpr std::size_t kColumns = static_cast<std::size_t>(kRight - kLeft);
// More edges than this would hide the curve under their marks.
constexpr std::size_t kMostEdgesMarked = 200;

// The colour of each class, in the order of ByteClass.
constexpr std::array<std::string_view, 6> kClassColours = {"#b0b0b0", "#7f7f7f", "#43a047",
                                                           "#1e88e5", "#fb8c00", "#e53935"};

std::string_view colourOf(ByteClass byteClass) {
    return kClassColours[static_cast<std::size_t>(byteClass)];
}

// A coordinate with two decimals, the same in every locale.
std::string number(double value) {
    char digits[32];
    const auto end =
        std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, 2).ptr;
    return {digits, end};
}

// Text as XML character data: the markup characters escaped, and whatever XML cannot hold (bytes
// that are not UTF-8, control characters, the two non-characters U+FFFE and U+FFFF) as U+FFFD.
std::string xmlText(std::string_view text) {
    std::string xml;
    for (std::size_t i = 0; i < text.size();) {
        const auto decoded = decodeUtf8(text, i);
        if (!decoded || (decoded->point < 0x20 && decoded->point != '\t') ||
            decoded->point == 0x7F || decoded->point == 0xFFFE || decoded->point == 0xFFFF) {
            xml += "\xEF\xBF\xBD";
            i += decoded ? decoded->length : 1;
            continue;
        }
        switch (text[i]) {
            case '&':
                xml += "&amp;";
                break;
            case '<':
                xml += "&lt;";
                break;
            case '>':
                xml += "&gt;";
                break;
            case '"':
                xml += "&quot;";
                break;
            default:
                xml.append(text.substr(i, decoded->length));
        }
        i += decoded->length;
    }
    return xml;
}

class Plot {
  public:
    explicit Plot(std::uint64_t length) : length_(std::max<std::uint64_t>(length, 1)) {}

    double x(std::uint64_t offset) const {
        return kLeft +
               (kRight - kLeft) * static_cast<double>(offset) / static_cast<double>(length_);
    }
    static double y(double entropy) { return kBottom - (kBottom - kTop) * entropy / kMaxEntropy; }

    // The offsets labelled on the axis: multiples of the smallest power of two that gives at
    // most eight steps.
    std::vector<std::uint64_t> ticks() const {
        std::uint64_t step = 1;
        while (step < length_ / 8 + (length_ % 8 != 0)) {
            step *= 2;
        }
        std::vector<std::uint64_t> ticks;
        for (std::uint64_t at = 0; at <= length_; at += step) {
            ticks.push_back(at);
            if (length_ - at < step) {
                break;
            }
        }
        return ticks;
    }

  private:
    std::uint64_t length_;
};

void appendAxes(std::string& svg, const Plot& plot) {
    for (int entropy = 0; entropy <= kMaxEntropy; ++entropy) {
        const std::string y = number(Plot::y(entropy));
        svg += "<line x1=\"" + number(kLeft) + "\" y1=\"" + y + "\" x2=\"" + number(kRight) +
               "\" y2=\"" + y + "\" stroke=\"#dddddd\"/>\n";
        svg += "<text x=\"" + number(kLeft - 8) + "\" y=\"" + number(Plot::y(entropy) + 4) +
               "\" text-anchor=\"end\">" + std::to_string(entropy) + "</text>\n";
    }
    for (const std::uint64_t at : plot.ticks()) {
        const std::string x = number(plot.x(at));
        svg += "<line x1=\"" + x + "\" y1=\"" + number(kBottom) + "\" x2=\"" + x + "\" y2=\"" +
               number(kBottom + 6) + "\" stroke=\"#333333\"/>\n";
        svg += "<text x=\"" + x + "\" y=\"" + number(kBottom + 22) +
               "\" text-anchor=\"middle\" font-family=\"monospace\">0x" + lowerHex(at) +
               "</text>\n";
    }
    svg += "<rect x=\"" + number(kLeft) + "\" y=\"" + number(kTop) + "\" width=\"" +
           number(kRight - kLeft) + "\" height=\"" + number(kBottom - kTop) +
           "\" fill=\"none\" stroke=\"#333333\"/>\n";
    svg += "<text x=\"" + number((kLeft + kRight) / 2) + "\" y=\"" + number(kBottom + 50) +
           "\" text-anchor=\"middle\">Offset</text>\n";
    svg += "<text transform=\"translate(" + number(kLeft - 50) + " " +
           number((kTop + kBottom) / 2) +
           ") rotate(-90)\" text-anchor=\"middle\">Entropy (bits per byte)</text>\n";
}

// A step for each row, or, with more rows than columns, each column's lowest and highest entropy.
std::string curvePath(const Plot& plot, const std::vector<MapRow>& rows) {
    std::string path;
    if (rows.size() <= kColumns) {
        for (const MapRow& row : rows) {
            path += path.empty() ? 'M' : 'L';
            path += number(plot.x(row.offset)) + " " + number(Plot::y(row.statistics.entropy)) +
                    "H" + number(plot.x(row.offset + row.statistics.length));
        }
        return path;
    }
    std::vector<std::pair<double, double>> columns(kColumns, {kMaxEntropy + 1, -1});
    for (const MapRow& row : rows) {
        const auto first = static_cast<std::size_t>(plot.x(row.offset) - kLeft);
        const auto last =
            static_cast<std::size_t>(std::ceil(plot.x(row.offset + row.statistics.length) - kLeft));
        for (std::size_t column = first; column < std::min(last, kColumns); ++column) {
            columns[column].first = std::min(columns[column].first, row.statistics.entropy);
            columns[column].second = std::max(columns[column].second, row.statistics.entropy);
        }
    }
    for (std::size_t column = 0; column < kColumns; ++column) {
        const auto [low, high] = columns[column];
        if (high >= 0) {
            path += 'M';
            path += number(kLeft + static_cast<double>(column) + 0.5) + " " +
                    number(Plot::y(high) - 0.5) + "V" + number(Plot::y(low) + 0.5);
        }
    }
    return path;
}

// The colour that marks objects, apart from those of the classes.
constexpr std::string_view kObjectColour = "#6a1b9a";
// The space a format's name takes on the plot, in its units; closer names would overlap.
constexpr double kObjectLabelWidth = 70;

// Each object as a band along the foot of the plot from its offset for its size, a dashed line at
// its offset, and its format at the top where the name before it leaves room; its offset, size
// and description show when the mouse is over it.
void appendObjects(std::string& svg, const Plot& plot, const MapObjects& objects) {
    double labelledUntil = 0;
    for (const ScanHit& hit : objects.hits) {
        const double x = plot.x(hit.offset);
        const double width = std::max(plot.x(hit.offset + hit.size) - x, 1.0);
        const std::string title = "<title>0x" + lowerHex(hit.offset) + " " +
                                  (hit.sizeExact ? "" : "~") + std::to_string(hit.size) +
                                  " bytes " + xmlText(hit.format) + ": " +
                                  xmlText(hit.description) + "</title>";
        svg += "<g class=\"object\">" + title + "<rect x=\"" + number(x) + "\" y=\"" +
               number(kBottom - 12) + "\" width=\"" + number(width) + "\" height=\"12\" fill=\"" +
               std::string(kObjectColour) + "\" fill-opacity=\"0.6\"/><line x1=\"" + number(x) +
               "\" y1=\"" + number(kTop) + "\" x2=\"" + number(x) + "\" y2=\"" + number(kBottom) +
               "\" stroke=\"" + std::string(kObjectColour) + "\" stroke-dasharray=\"3 3\"/>";
        if (x >= labelledUntil) {
            svg += "<text x=\"" + number(x + 2) + "\" y=\"" + number(kTop + 14) + "\" fill=\"" +
                   std::string(kObjectColour) + "\">" + xmlText(hit.format) + "</text>";
            labelledUntil = x + kObjectLabelWidth;
        }
        svg += "</g>\n";
    }
}

void appendLegend(std::string& svg, const std::vector<MapRegion>& regions,
                  const MapObjects& objects) {
    std::array<bool, kClassColours.size()> shown{};
    for (const MapRegion& region : regions) {
        shown[static_cast<std::size_t>(region.byteClass)] = true;
    }
    double y = kTop;
    for (std::size_t i = 0; i < shown.size(); ++i) {
        if (!shown[i]) {
            continue;
        }
        const auto byteClass = static_cast<ByteClass>(i);
        svg += "<rect x=\"990\" y=\"" + number(y) + "\" width=\"18\" height=\"14\" fill=\"" +
               std::string(colourOf(byteClass)) + "\" fill-opacity=\"0.45\" stroke=\"" +
               std::string(colourOf(byteClass)) + "\"/>\n";
        svg += "<text x=\"1016\" y=\"" + number(y + 12) + "\">" +
               std::string(byteClassName(byteClass)) + "</text>\n";
        y += 24;
    }
    svg += "<line x1=\"990\" y1=\"" + number(y + 7) + "\" x2=\"1008\" y2=\"" + number(y + 7) +
           "\" stroke=\"#111111\" stroke-width=\"2\"/>\n";
    svg += "<text x=\"1016\" y=\"" + number(y + 12) + "\">entropy</text>\n";
    svg += "<text x=\"990\" y=\"" + number(y + 36) +
           "\" fill=\"#2e7d32\">&#9650; rising edge</text>\n";
    svg += "<text x=\"990\" y=\"" + number(y + 58) +
           "\" fill=\"#c62828\">&#9660; falling edge</text>\n";
    if (objects.count > 0) {
        svg += "<rect x=\"990\" y=\"" + number(y + 70) + "\" width=\"18\" height=\"12\" fill=\"" +
               std::string(kObjectColour) + "\" fill-opacity=\"0.6\"/>\n";
        svg += "<text x=\"1016\" y=\"" + number(y + 81) + "\">" +
               (objects.count == 1 ? std::string("1 object")
                                   : std::to_string(objects.count) + " objects") +
               "</text>\n";
        if (objects.count > objects.hits.size()) {
            svg += "<text x=\"1016\" y=\"" + number(y + 99) + "\">(the first " +
                   std::to_string(objects.hits.size()) + " marked)</text>\n";
        }
    }
}

}  // namespace

std::string entropyMapSvg(const std::string& path, std::uint64_t length,
                          const std::vector<MapRow>& rows, const std::vector<MapRegion>& regions,
                          const std::vector<EntropyEdge>& edges, const MapObjects& objects) {
    const Plot plot(length);
    std::string svg =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"1200\" height=\"640\" viewBox=\"0 0 " +
        number(kWidth) + " " + number(kHeight) +
        "\" font-family=\"sans-serif\" font-size=\"13\">\n"
        "<title>Entropy map of " +
        xmlText(path) + "</title>\n<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
    svg += "<text x=\"" + number(kLeft) + "\" y=\"30\" font-size=\"18\">Entropy map of " +
           xmlText(path) + "</text>\n";
    svg += "<text x=\"" + number(kLeft) + "\" y=\"52\" fill=\"#555555\">" + std::to_string(length) +
           " bytes, " + std::to_string(rows.size()) + " rows of " +
           std::to_string(rows.empty() ? 0 : rows.front().statistics.length) + " bytes</text>\n";
    for (const MapRegion& region : regions) {
        svg += "<rect x=\"" + number(plot.x(region.offset)) + "\" y=\"" + number(kTop) +
               "\" width=\"" + number(plot.x(region.offset + region.size) - plot.x(region.offset)) +
               "\" height=\"" + number(kBottom - kTop) + "\" fill=\"" +
               std::string(colourOf(region.byteClass)) + "\" fill-opacity=\"0.35\"><title>0x" +
               lowerHex(region.offset) + " " + std::to_string(region.size) + " bytes " +
               std::string(byteClassName(region.byteClass)) + "</title></rect>\n";
    }
    appendAxes(svg, plot);
    svg += "<path d=\"" + curvePath(plot, rows) +
           "\" fill=\"none\" stroke=\"#111111\" stroke-width=\"2\" stroke-linejoin=\"round\"/>\n";
    if (edges.size() <= kMostEdgesMarked) {
        for (const EntropyEdge& edge : edges) {
            svg += "<text x=\"" + number(plot.x(edge.offset)) + "\" y=\"" + number(kTop - 4) +
                   "\" text-anchor=\"middle\" fill=\"" + (edge.rising ? "#2e7d32" : "#c62828") +
                   "\">" + (edge.rising ? "&#9650;" : "&#9660;") + "</text>\n";
        }
    }
    appendObjects(svg, plot, objects);
    appendLegend(svg, regions, objects);
    return svg + "</svg>\n";
}

}  // namespace tessaloom::cli
