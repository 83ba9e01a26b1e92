#include <iostream>
#include <string>

#include "commands.h"
#include "console.h"
#include "engine/file_reader.h"
#include "engine/structure.h"
#include "inputs.h"
#include "progress_line.h"
#include "struct_report.h"

namespace tessaloom::cli {

int runStruct(const Arguments& args) {
    const bool json = args.size() == 2 && args[1] == "--json";
    if (args.size() > 2 || (args.size() == 2 && !json)) {
        throw UsageError();
    }
    FileReader reader(args[0]);
    requireReadable(reader);
    ProgressLine progress(progressWanted(CommandOutput::kReportWhenDone));
    progress.follow(reader);
    StructureOptions options;
    options.progress = [&progress](const ScanProgress& done) {
        progress.update(done.done, done.total);
    };
    const StructureReport report = describeStructure(reader, options);
    progress.erase();
    requireReadable(reader);
    const std::string text = json ? structureJson(report) : structureText(report);
    writeText(std::cout, text);
    return 0;
}

}  // namespace tessaloom::cli
