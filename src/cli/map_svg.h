// The picture of an entropy map: a standalone SVG document that a browser shows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/entropy_map.h"
#include "engine/scan.h"

namespace tessaloom::cli {

// The objects found in the input: the first ones, which the picture marks, and how many in all.
struct MapObjects {
    std::vector<ScanHit> hits;
    std::uint64_t count = 0;
};

// The entropy (0 to 8 bits per byte) of each row over the input's offsets, the regions shaded in
// the colour of their class with a legend, the edges marked, and both axes labelled (offsets in
// hexadecimal), for the input named path of length bytes, and each object marked at its offset
// by a band as long as it, a line and its format. More rows than the plot has columns are drawn as
// the lowest and highest entropy of each column.
std::string entropyMapSvg(const std::string& path, std::uint64_t length,
                          const std::vector<MapRow>& rows, const std::vector<MapRegion>& regions,
                          const std::vector<EntropyEdge>& edges, const MapObjects& objects = {});

}  // namespace tessaloom::cli
