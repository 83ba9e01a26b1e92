// The picture of an entropy map: a standalone SVG document that a browser shows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/entropy_map.h"

namespace tessaloom::cli {

// The entropy (0 to 8 bits per byte) of each row over the input's offsets, the regions shaded in
// the colour of their class with a legend, the edges marked, and both axes labelled (offsets in
// hexadecimal), for the input named path of length bytes. More rows than the plot has columns are
// drawn as the lowest and highest entropy of each column.
std::string entropyMapSvg(const std::string& path, std::uint64_t length,
                          const std::vector<MapRow>& rows, const std::vector<MapRegion>& regions,
                          const std::vector<EntropyEdge>& edges);

}  // namespace tessaloom::cli
