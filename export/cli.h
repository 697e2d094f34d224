#pragma once
// `chimewright export`: the export from the command line, with no window and no display.

#include <optional>
#include <string>
#include <vector>

#include "job.h"

namespace chime {

// Exit codes: success, a failed export, a command line that was refused.
inline constexpr int kExportOk = 0;
inline constexpr int kExportFailed = 1;
inline constexpr int kExportUsage = 2;

// A time on the command line: seconds with decimals ("75.5"), or minutes and seconds ("1:15.5").
std::optional<double> ParseSeconds(const std::string& text);

struct ExportCommand {
    bool help = false;
    ExportRequest request;
};
// Parses the arguments after "export". False, with the reason in error, when they are refused.
bool ParseExportCommand(const std::vector<std::string>& args, ExportCommand& command,
                        std::string& error);
std::string ExportUsage();

// Runs the export that the arguments after "export" ask for; returns the exit code.
int RunExportCommand(const std::vector<std::string>& args);

}  // namespace chime
