// The Tessaloom binary analysis engine: every operation, over whole files and over byte spans.
// Including this header alone is enough to use the library.
#pragma once

#include "byte_source.h"
#include "carve.h"
#include "diff.h"
#include "entropy.h"
#include "entropy_map.h"
#include "failure.h"
#include "file_io.h"
#include "file_reader.h"
#include "find.h"
#include "format_detect.h"
#include "hex_dump.h"
#include "output_file.h"
#include "patch.h"
#include "patch_list.h"
#include "scan.h"
#include "search_replace.h"
#include "string_extract.h"
#include "structure.h"
#include "types.h"
